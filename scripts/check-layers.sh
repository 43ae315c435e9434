#!/usr/bin/env bash
# The layering of src/: the subsystems are listed in dependency order in the
# foreach(subsystem ...) loop of src/CMakeLists.txt, and a file in src/<A>/
# may include "<B>/..." only when B is A or comes before A in that list.
# Operating-system headers (Win32, POSIX sockets, files, threads, terminals)
# belong to the folders that wrap or drive the system: platform, app,
# widgets and watchdog. Everything else reaches the system through platform.
#
#   scripts/check-layers.sh [ROOT]   checks ROOT/src (default: this checkout)
#
# Prints each violation as "file:line: reason" and exits 1 when there is
# any, otherwise one summary line and exit 0. Exit 2 when the subsystem list
# cannot be read, so a broken list never passes as a clean tree.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"

exec python3 - "$root" <<'PY'
import os
import re
import sys

root = sys.argv[1]
src = os.path.join(root, "src")

# Folders that may include the operating system's own headers.
SYSTEM_FOLDERS = {"platform", "app", "widgets", "watchdog"}

# Headers of the operating system rather than of C or C++. Matched on the
# lower-cased include path; C and C++ standard headers (<stdio.h>, <cstdint>,
# <csignal>...) are not among them.
SYSTEM_DIRS = ("sys/", "arpa/", "netinet/", "net/", "linux/", "asm/", "netpacket/", "mach/")
SYSTEM_NAMES = {
    # POSIX
    "unistd.h", "netdb.h", "poll.h", "fcntl.h", "ifaddrs.h", "pthread.h", "dirent.h", "signal.h",
    "termios.h", "spawn.h", "dlfcn.h", "syslog.h", "pwd.h", "grp.h", "sched.h", "semaphore.h",
    "strings.h", "libgen.h", "glob.h", "fnmatch.h", "utime.h", "wordexp.h", "sysexits.h",
    "mqueue.h", "aio.h", "utmp.h", "pty.h", "err.h", "malloc.h", "alloca.h", "features.h",
    # Win32 and its C runtime
    "commctrl.h", "uxtheme.h", "iphlpapi.h", "ws2tcpip.h", "mswsock.h", "iprtrmib.h", "shellapi.h",
    "shlobj.h", "shlwapi.h", "objbase.h", "ole2.h", "oleauto.h", "mmsystem.h", "tchar.h", "commdlg.h",
    "richedit.h", "dwmapi.h", "vssym32.h", "vsstyle.h", "tlhelp32.h", "psapi.h", "dbghelp.h",
    "userenv.h", "bcrypt.h", "ntstatus.h", "setupapi.h", "io.h", "direct.h", "process.h", "conio.h",
    "crtdbg.h", "share.h", "shtypes.h", "knownfolders.h", "combaseapi.h", "processthreadsapi.h",
    "synchapi.h", "fileapi.h", "handleapi.h", "errhandlingapi.h", "sysinfoapi.h", "netioapi.h",
    "icmpapi.h", "lm.h", "afxwin.h",
}
SYSTEM_PATTERNS = (re.compile(r"win[a-z0-9_]*\.h"),)  # windows.h, winsock2.h, winbase.h, wininet.h...


def is_system_header(path):
    p = path.lower()
    if p.startswith(SYSTEM_DIRS) or p in SYSTEM_NAMES:
        return True
    return any(pattern.fullmatch(p) for pattern in SYSTEM_PATTERNS)


def read_subsystems():
    path = os.path.join(src, "CMakeLists.txt")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        print(f"check-layers: cannot read {path}: {e.strerror}", file=sys.stderr)
        sys.exit(2)
    text = re.sub(r"#[^\n]*", "", text)  # CMake comments
    match = re.search(r"foreach\s*\(\s*subsystem\s+([^)]*)\)", text)
    names = match.group(1).split() if match else []
    if not names:
        print(f"check-layers: no foreach(subsystem ...) list in {path}", file=sys.stderr)
        sys.exit(2)
    return names


INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = (".h", ".hh", ".hpp", ".hxx", ".inl", ".ipp", ".c", ".cc", ".cpp", ".cxx", ".rc")


def includes(path):
    """(line number, delimiter, target) of each #include outside /* */ comments."""
    in_comment = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            if in_comment:
                end = line.find("*/")
                if end < 0:
                    continue
                line = line[end + 2:]
                in_comment = False
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1), match.group(2).strip()
            code = re.sub(r"/\*.*?\*/", "", line.split("//", 1)[0])
            if "/*" in code:
                in_comment = True


def main():
    order = read_subsystems()
    rank = {name: i for i, name in enumerate(order)}
    violations = []
    files = 0
    for folder in sorted(os.listdir(src)):
        folder_path = os.path.join(src, folder)
        if not os.path.isdir(folder_path):
            continue
        if folder not in rank:
            violations.append(f"src/{folder}: folder not in the foreach(subsystem ...) list of src/CMakeLists.txt")
            continue
        for dirpath, dirnames, filenames in os.walk(folder_path):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.lower().endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                shown = os.path.relpath(path, root)
                files += 1
                for line, delimiter, target in includes(path):
                    first = target.split("/")[0] if "/" in target else None
                    if target.startswith("."):  # relative: judge the folder it lands in
                        landed = os.path.relpath(os.path.normpath(os.path.join(dirpath, target)), src)
                        used = landed.split(os.sep)[0]
                        if landed.startswith("..") or used not in rank:
                            violations.append(f"{shown}:{line}: \"{target}\" leaves the subsystems of src/")
                            continue
                    elif first in rank and (delimiter == '"' or os.path.isfile(os.path.join(src, target))):
                        used = first  # a project header, in quotes or not
                    else:
                        if is_system_header(target) and folder not in SYSTEM_FOLDERS:
                            allowed = ", ".join(s for s in order if s in SYSTEM_FOLDERS)
                            violations.append(f"{shown}:{line}: system header <{target}> outside {allowed}")
                        continue  # C/C++ library, third party, or a header beside the file
                    if rank[used] > rank[folder]:
                        violations.append(f"{shown}:{line}: {folder} includes \"{target}\" of {used}, "
                                          f"which comes after {folder} in the subsystem list")
    for v in violations:
        print(v)
    if violations:
        print(f"check-layers: {len(violations)} violation(s)", file=sys.stderr)
        return 1
    print(f"check-layers: {files} files in {len(order)} subsystems ({' < '.join(order)}), no violation")
    return 0


sys.exit(main())
PY
