#include "reporttable.h"

#include <algorithm>
#include <iomanip>

void ReportTable::print(std::ostream &out) const
{
    std::vector<size_t> widths(header_.size(), 0);
    auto widen = [&widths](const std::vector<std::string> &cells) {
        for (size_t column = 0; column < cells.size() && column < widths.size(); ++column)
            widths[column] = std::max(widths[column], cells[column].size());
    };
    widen(header_);
    for (const auto &row : rows_)
        widen(row);

    auto printLine = [&](const std::vector<std::string> &cells) {
        for (size_t column = 0; column < widths.size(); ++column) {
            const std::string cell = column < cells.size() ? cells[column] : std::string();
            if (column == 0)
                out << std::left << std::setw(static_cast<int>(widths[column])) << cell;
            else
                out << "  " << std::right << std::setw(static_cast<int>(widths[column])) << cell;
        }
        out << '\n';
    };
    printLine(header_);
    size_t total = 0;
    for (size_t width : widths)
        total += width + 2;
    out << std::string(total - 2, '-') << '\n';
    for (const auto &row : rows_)
        printLine(row);
    out << std::left;
}
