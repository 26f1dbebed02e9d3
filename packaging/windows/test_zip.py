#!/usr/bin/env python3
"""The Windows zip, made by CPack from the build: the program, the sample
ini file and the text on running it, in one folder named after the version.

Usage: test_zip.py CPackConfig.cmake LINUX-INI
The Linux package's ini file is the model: the Windows one must show the
same options, with their defaults.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile


def option_lines(text):
    """The commented option lines ("#name = value") of an ini text."""
    return re.findall(r"^#([a-z-]+ =.*?)\r?$", text, re.M)


def main(config, linux_ini):
    cpack = shutil.which("cpack")
    if cpack is None:
        print("SKIPPED: cpack is missing")
        return 77
    version = re.search(r'^set\(CPACK_PACKAGE_VERSION "([^"]+)"\)', open(config).read(), re.M).group(1)
    problems = []
    with tempfile.TemporaryDirectory(prefix="orvel-zip-") as output:
        subprocess.run([cpack, "-G", "ZIP", "--config", config, "-B", output], check=True,
                       stdout=subprocess.DEVNULL)
        name = "orvel-bridge-%s-win64" % version
        path = os.path.join(output, name + ".zip")
        if not os.path.isfile(path):
            print("no %s among %r" % (name + ".zip", os.listdir(output)))
            return 1
        with zipfile.ZipFile(path) as archive:
            files = sorted(info.filename for info in archive.infolist() if not info.is_dir())
            expected = sorted(name + "/" + f for f in ("orvel-bridge-console.exe", "orvel-bridge.ini", "README.txt"))
            if files != expected:
                problems.append("files %r, expected %r" % (files, expected))
            else:
                program = archive.read(name + "/orvel-bridge-console.exe")
                if program[:2] != b"MZ" or len(program) < 100000:
                    problems.append("the program is no Windows program (%d bytes)" % len(program))
                ini = archive.read(name + "/orvel-bridge.ini").decode("utf-8")
                readme = archive.read(name + "/README.txt").decode("utf-8")
                for label, text in (("orvel-bridge.ini", ini), ("README.txt", readme)):
                    if text.count("\n") != text.count("\r\n"):
                        problems.append("%s has line ends without CR" % label)
                with open(linux_ini) as model:
                    if option_lines(ini) != option_lines(model.read()):
                        problems.append("the ini's options %r differ from the Linux package's" % option_lines(ini))
                if "Orvel-Bridge %s for Windows" % version not in readme or "shell:startup" not in readme:
                    problems.append("README.txt lacks its title with the version or the start-up text")
    for problem in problems:
        print("FAILED: " + problem)
    if not problems:
        print("ok: %s.zip holds %s" % (name, ", ".join(os.path.basename(f) for f in files)))
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: test_zip.py CPackConfig.cmake LINUX-INI")
    sys.exit(main(sys.argv[1], sys.argv[2]))
