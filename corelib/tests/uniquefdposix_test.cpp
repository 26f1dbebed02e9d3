#include "splicepipe.h"
#include "uniquefd.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

bool isOpenDescriptor(int descriptor)
{
    return ::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF;
}

// The lowest descriptor number free just now: the one the next descriptor takes.
int nextFreeDescriptor()
{
    const int probe = ::dup(0);
    ::close(probe);
    return probe;
}

} // namespace

TEST(UniqueFd, OneOwnerAtATimeClosesTheDescriptorOnce)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[1]);

    UniqueFd first(ends[0]);
    UniqueFd second(std::move(first));
    EXPECT_EQ(first.get(), -1);
    EXPECT_FALSE(first.isOpen());
    EXPECT_EQ(second.get(), ends[0]);
    first.reset();
    EXPECT_TRUE(isOpenDescriptor(ends[0])) << "a moved-from owner closes nothing";

    UniqueFd third;
    third = std::move(second);
    EXPECT_TRUE(isOpenDescriptor(ends[0]));

    const int released = third.release();
    EXPECT_EQ(released, ends[0]);
    EXPECT_FALSE(third.isOpen());
    third.reset();
    EXPECT_TRUE(isOpenDescriptor(released)) << "a released descriptor is the caller's";

    {
        UniqueFd last(released);
        UniqueFd replaced(::dup(released));
        const int duplicate = replaced.get();
        replaced = std::move(last);
        EXPECT_FALSE(isOpenDescriptor(duplicate)) << "an assigned owner closes what it held";
        EXPECT_TRUE(isOpenDescriptor(released));
    }
    EXPECT_FALSE(isOpenDescriptor(released)) << "the last owner closes it when destroyed";
}

TEST(UniqueFd, ASplicePipeFreesBothEndsWhenDestroyed)
{
    const int before = nextFreeDescriptor();
    {
        SplicePipe pipe;
        ASSERT_TRUE(pipe.isOpen());
        EXPECT_GT(pipe.capacity(), 0u);
        EXPECT_NE(nextFreeDescriptor(), before) << "the pipe holds descriptors while it lives";
    }
    EXPECT_EQ(nextFreeDescriptor(), before) << "both ends were closed";
}
