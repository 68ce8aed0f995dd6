#!/usr/bin/env python3
"""Times a whole Windows-to-Linux conversion of a large generated profile.

Makes prefs.js and panacea.dat of the given size each, in Windows form, with
the searchplugins and cache preferences near the top and millions of
separators after mail.newsrc_root and "<(80"; then times, on fresh copies:

  gemmel       the conversion itself (backups included)
  sed -i       GNU sed doing the same substitutions on the same files
  copy floor   copying each file to its backup and back
  durable      the least a durable backup and a durable rewrite in place
  floor        cost: for each file, cp to the backup, sync of the backup,
               and dd bs=1M conv=fsync of the backup back over the file
  rename       the least that writing the way gemmel does costs: for each
  floor        file, ln to the backup's name, dd bs=1M conv=fsync of the
               file to a new name, mv of it over the file, and a sync of
               the folder

and prints the medians, the ratios, and gemmel's peak memory. With several
sizes it also prints how gemmel's time grows with the data.

Usage: large_profile.py GEMMEL [--mib 64] [--mib 16 ...] [--runs 5]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

WINDIR = "d:\\documenti\\mozilla\\default\\asd6dhre.slt\\"
LINUXDIR = "/mnt/D/mozilla/default/asd6dhre.slt/"
W = WINDIR.replace("\\", "\\\\")  # as the files store it
WIN_SEARCH = "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5C"
LINUX_SEARCH = "/usr/local/mozilla/searchplugins/"


def fill(path, head, line_for, size):
    """Writes `head`, then numbered lines until the file holds `size` bytes."""
    with open(path, "w", newline="\n") as out:
        out.write(head)
        written = len(head)
        chunk = []
        n = 0
        while written < size:
            line = line_for(n)
            n += 1
            written += len(line)
            chunk.append(line)
            if len(chunk) == 4096:
                out.write("".join(chunk))
                chunk = []
        out.write("".join(chunk))


def make_profile(folder, size):
    prefs_head = (
        "# Mozilla User Preferences\n\n"
        'user_pref("browser.cache.disk.parent_directory", "%s");\n'
        % W[:-2]
        + 'user_pref("browser.search.defaultengine", "engine://%sgoogle.src");\n'
        % WIN_SEARCH
        + 'user_pref("mail.newsrc_root", "%sNews");\n' % W
    )
    fill(
        os.path.join(folder, "prefs.js"),
        prefs_head,
        lambda n: 'user_pref("mail.server.server%d.directory", '
        '"%sMail\\\\pop%d.example.org\\\\Inbox\\\\a\\\\b\\\\c");\n' % (n, W, n),
        size,
    )
    panacea_head = (
        "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n< <(a=c)> // (f=iso-8859-1)\n"
        "  (80=ns:msg:db:row:scope:folders:all)(81=key)>\n\n<(80=%sMail\\\\Inbox.msf)\n"
        % W
    )
    fill(
        os.path.join(folder, "panacea.dat"),
        panacea_head,
        lambda n: "  (%X=%sMail\\\\Local Folders\\\\f%d\\\\s\\\\t.msf)\n"
        % (n + 0x100, W, n),
        size,
    )


def sed_escape(text):
    return text.replace("\\", "\\\\").replace("/", "\\/").replace(".", "\\.")


def sed_commands(folder):
    w, l = sed_escape(W), sed_escape(LINUXDIR)
    sep = sed_escape("\\\\")
    return [
        ["sed", "-i", "-e", "s/%s/%s/g" % (w, l),
         "-e", "/<(80/,$ s/%s/\\//g" % sep,
         os.path.join(folder, "panacea.dat")],
        ["sed", "-i", "-e", "s/%s/%s/g" % (w, l),
         "-e", "/browser\\.cache\\.disk\\.parent_directory/ s/%s/%s/"
         % (sed_escape(W[:-2]), l),
         "-e", "/browser\\.search\\.defaultengine/ s/%s/%s/"
         % (sed_escape(WIN_SEARCH), sed_escape(LINUX_SEARCH)),
         "-e", "/mail\\.newsrc_root/,$ s/%s/\\//g" % sep,
         os.path.join(folder, "prefs.js")],
    ]


def copy_commands(folder):
    commands = []
    for name in ("panacea.dat", "prefs.js"):
        path = os.path.join(folder, name)
        commands.append(["cp", path, path + "-bak"])
        commands.append(["cp", path + "-bak", path])
    return commands


def durable_commands(folder):
    commands = []
    for name in ("panacea.dat", "prefs.js"):
        path = os.path.join(folder, name)
        commands.append(["cp", path, path + "-bak"])
        commands.append(["sync", path + "-bak"])
        commands.append(["dd", "if=" + path + "-bak", "of=" + path,
                         "bs=1M", "conv=fsync", "status=none"])
    return commands


def rename_commands(folder):
    commands = []
    for name in ("panacea.dat", "prefs.js"):
        path = os.path.join(folder, name)
        commands.append(["ln", "-f", path, path + "-bak"])
        commands.append(["dd", "if=" + path, "of=" + path + "-nuovo",
                         "bs=1M", "conv=fsync", "status=none"])
        commands.append(["mv", path + "-nuovo", path])
        commands.append(["sync", folder])
    return commands


def timed(commands):
    """Runs the commands one after another; returns seconds and peak KiB."""
    start = time.perf_counter()
    peak = 0
    for command in commands:
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        if status != 0:
            sys.exit("failed: %s" % " ".join(command))
        peak = max(peak, usage.ru_maxrss)
    return time.perf_counter() - start, peak


def measure(gemmel, mib, runs, workdir):
    pristine = os.path.join(workdir, "pristine-%d" % mib)
    folder = os.path.join(workdir, "profile-%d" % mib)
    os.makedirs(pristine, exist_ok=True)
    make_profile(pristine, mib << 20)
    ways = {
        "gemmel": lambda: [[gemmel, WINDIR, LINUXDIR, "x", "linux"]],
        "sed -i": lambda: sed_commands(folder),
        "copy floor": lambda: copy_commands(folder),
        "durable floor": lambda: durable_commands(folder),
        "rename floor": lambda: rename_commands(folder),
    }
    results = {}
    for name, commands in ways.items():
        times, peaks = [], []
        for _ in range(runs):
            shutil.rmtree(folder, ignore_errors=True)
            shutil.copytree(pristine, folder)
            # Every way starts with the copies on disk, not still being
            # written back from the copy just made.
            os.sync()
            os.chdir(folder)  # gemmel opens the files in the current folder
            seconds, peak = timed(commands())
            times.append(seconds)
            peaks.append(peak)
        results[name] = (statistics.median(times), max(peaks))
    # The conversions must agree before their times mean anything.
    for way in ("sed -i", "gemmel"):
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(pristine, folder)
        os.chdir(folder)
        timed(ways[way]())
        for name in ("panacea.dat", "prefs.js"):
            with open(os.path.join(folder, name), "rb") as f:
                results.setdefault("out-" + name, set()).add(f.read())
    agree = all(len(results.pop("out-" + n)) == 1 for n in ("panacea.dat", "prefs.js"))
    shutil.rmtree(folder, ignore_errors=True)
    shutil.rmtree(pristine, ignore_errors=True)
    return results, agree


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("gemmel")
    parser.add_argument("--mib", type=int, action="append",
                        help="size of each file in MiB (repeatable; default 64)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    gemmel = os.path.abspath(args.gemmel)
    sizes = args.mib or [64]
    with tempfile.TemporaryDirectory(prefix="gemmel-bench-") as workdir:
        gemmel_times = {}
        for mib in sizes:
            results, agree = measure(gemmel, mib, args.runs, workdir)
            g, s, c, d, r = (results[k][0] for k in
                             ("gemmel", "sed -i", "copy floor",
                              "durable floor", "rename floor"))
            peak_mib = results["gemmel"][1] / 1024
            gemmel_times[mib] = g
            print("2 x %d MiB profile, median of %d runs%s" %
                  (mib, args.runs, "" if agree else "  (OUTPUTS DIFFER FROM sed)"))
            print("  %-11s %8.3f s" % ("gemmel", g))
            print("  %-11s %8.3f s   gemmel / sed    = %.2f" % ("sed -i", s, g / s))
            print("  %-11s %8.3f s   gemmel / copy   = %.2f" % ("copy floor", c, g / c))
            print("  %-11s %8.3f s   gemmel / durable = %.2f" %
                  ("durable", d, g / d))
            print("  %-11s %8.3f s   gemmel / rename  = %.2f" %
                  ("rename", r, g / r))
            print("  gemmel peak memory %.0f MiB = %.2f x one file" %
                  (peak_mib, peak_mib / mib))
        ordered = sorted(gemmel_times)
        for small, large in zip(ordered, ordered[1:]):
            print("growth %d -> %d MiB: data x %.1f, time x %.2f" %
                  (small, large, large / small,
                   gemmel_times[large] / gemmel_times[small]))


if __name__ == "__main__":
    main()
