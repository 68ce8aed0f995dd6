#!/usr/bin/env python3
"""Opens profiles converted by gemmel with the mail client that reads them.

Usage: real_client_test.py GEMMEL

Each profile below is written in Windows form, converted to Linux form and
opened by Debian's thunderbird, headless; the checks read what the client
says and leaves: each server's folder as it resolved it (asked over
Marionette), the folders it made and the prefs.js it wrote on quitting. That
prefs.js is converted to Windows form and back, and opened again. The same
profile unconverted is the control: the client must be seen to make new
folders there, or the checks prove nothing.

Exit status: 0 when every check holds, 1 when one fails, 77 (skipped) where
the client is not installed. THUNDERBIRD in the environment names another
client program.
"""

import ctypes
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
START_TIMEOUT = 45  # seconds for the client to start and offer Marionette
QUIT_TIMEOUT = 30  # seconds for each answer, and to write prefs.js and quit

# Keeps the first-run dialogs away; Marionette on a free port, which the
# client writes to MarionetteActivePort.
USER_JS = """\
user_pref("mail.shell.checkDefaultClient", false);
user_pref("mail.provider.suppress_dialog_on_startup", true);
user_pref("mailnews.start_page.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.disabledForTesting", true);
user_pref("marionette.port", 0);
"""

# The profiles, in Windows form as the client writes it there, each in
# "folder" under a scratch folder, "{T}" in the expected values. Every
# server's folder exists on disk, with an Inbox, where a right conversion
# points.
MAIL = {"server1": "Mail/Local Folders",  # type none, Local Folders
        "server2": "Mail/pop.example.com"}  # type pop3
# The two accounts, the same in every profile; the profiles add their folders.
ACCOUNTS = """// Mozilla User Preferences

user_pref("mail.account.account1.server", "server1");
user_pref("mail.account.account2.server", "server2");
user_pref("mail.accountmanager.accounts", "account2,account1");
user_pref("mail.accountmanager.defaultaccount", "account2");
user_pref("mail.accountmanager.localfoldersserver", "server1");
"""
PROFILES = [
    {
        "name": "news",  # mail.newsrc_root, a non-ASCII folder, panacea.dat
        "windir": "D:\\Documenti\\Niccolò\\news.slt\\",
        "folder": "Niccolò/news.slt",
        "mail": MAIL,
        "prefs": ACCOUNTS + r"""user_pref("mail.newsrc_root", "D:\\Documenti\\Niccolò\\news.slt\\News");
user_pref("mail.newsrc_root-rel", "[ProfD]News");
user_pref("mail.root.none", "D:\\Documenti\\Niccolò\\news.slt\\Mail");
user_pref("mail.root.none-rel", "[ProfD]Mail");
user_pref("mail.root.pop3", "d:\\documenti\\niccolò\\news.slt\\Mail");
user_pref("mail.root.pop3-rel", "[ProfD]Mail");
user_pref("mail.server.server1.directory", "D:\\Documenti\\Niccolò\\news.slt\\Mail\\Local Folders");
user_pref("mail.server.server1.directory-rel", "[ProfD]Mail/Local Folders");
user_pref("mail.server.server1.hostname", "Local Folders");
user_pref("mail.server.server1.storeContractID", "@mozilla.org/msgstore/berkeleystore;1");
user_pref("mail.server.server1.type", "none");
user_pref("mail.server.server1.userName", "nobody");
user_pref("mail.server.server2.directory", "d:\\documenti\\niccolò\\news.slt\\Mail\\pop.example.com");
user_pref("mail.server.server2.hostname", "pop.example.com");
user_pref("mail.server.server2.spamActionTargetFolder", "mailbox://nobody@Local%20Folders/Junk");
user_pref("mail.server.server2.storeContractID", "@mozilla.org/msgstore/berkeleystore;1");
user_pref("mail.server.server2.type", "pop3");
user_pref("mail.server.server2.userName", "mario");
user_pref("mailnews.messageid_browser.url", "https://mid.mail-archive.com/%mid%");
user_pref("messenger.save.dir", "D:\\Scaricati\\");
user_pref("print.printer_PostScript/default.print_bgcolor", false);
""",
        "panacea": r"""// <!-- <mdb:mork:z v="1.4"/> -->
< <(a=c)> // (f=iso-8859-1)
  (B8=folderName)(B9=totalMsgs)
  (80=ns:msg:db:row:scope:folders:all)(81=ns:msg:db:table:kind:folders)
  (82=key)>

<(80=D:\\Documenti\\Niccol$C3$B2\\news.slt\\Mail\\Local Folders\\Inbox.msf)
  (81=d:\\documenti\\niccol$C3$B2\\news.slt\\Mail\\\
pop.example.com\\Inbox.msf)(83=Inbox)(84=mailbox://nobody@Local%20Folders/Junk)>
{1:^80 {(k^81:c)(s=9)}
  [1(^82^80)(^B8^83)]
  [2(^82^81)(^B8^83)(^B9=84)]}
""",
        "panacea_linux": r"""// <!-- <mdb:mork:z v="1.4"/> -->
< <(a=c)> // (f=iso-8859-1)
  (B8=folderName)(B9=totalMsgs)
  (80=ns:msg:db:row:scope:folders:all)(81=ns:msg:db:table:kind:folders)
  (82=key)>

<(80={T}/Niccol$C3$B2/news.slt/Mail/Local Folders/Inbox.msf)
  (81={T}/Niccol$C3$B2/news.slt/Mail/\
pop.example.com/Inbox.msf)(83=Inbox)(84=mailbox://nobody@Local%20Folders/Junk)>
{1:^80 {(k^81:c)(s=9)}
  [1(^82^80)(^B8^83)]
  [2(^82^81)(^B8^83)(^B9=84)]}
""",
        # What the prefs that hold the folder are in each form.
        "linux": {
            "mail.newsrc_root": '"{T}/Niccolò/news.slt/News"',
            "mail.root.none": '"{T}/Niccolò/news.slt/Mail"',
            "mail.root.pop3": '"{T}/Niccolò/news.slt/Mail"',
            "mail.server.server1.directory":
                '"{T}/Niccolò/news.slt/Mail/Local Folders"',
            "mail.server.server2.directory":
                '"{T}/Niccolò/news.slt/Mail/pop.example.com"',
        },
        "windows": {
            "mail.newsrc_root": r'"D:\\Documenti\\Niccolò\\news.slt\\News"',
            "mail.root.none": r'"D:\\Documenti\\Niccolò\\news.slt\\Mail"',
            "mail.root.pop3": r'"D:\\Documenti\\Niccolò\\news.slt\\Mail"',
            "mail.server.server1.directory":
                r'"D:\\Documenti\\Niccolò\\news.slt\\Mail\\Local Folders"',
            "mail.server.server2.directory":
                r'"D:\\Documenti\\Niccolò\\news.slt\\Mail\\pop.example.com"',
        },
    },
    {
        "name": "mail",  # mail only: no mail.newsrc_root, no panacea.dat
        "windir": "d:\\documenti\\posta\\mail.slt\\",  # as the help spells it
        "folder": "Posta/mail.slt",
        "mail": MAIL,
        "prefs": ACCOUNTS + r"""user_pref("mail.server.server1.directory", "d:\\documenti\\posta\\mail.slt\\Mail\\Local Folders");
user_pref("mail.server.server1.directory-rel", "[ProfD]Mail/Local Folders");
user_pref("mail.server.server1.hostname", "Local Folders");
user_pref("mail.server.server1.storeContractID", "@mozilla.org/msgstore/berkeleystore;1");
user_pref("mail.server.server1.type", "none");
user_pref("mail.server.server1.userName", "nobody");
user_pref("mail.server.server2.directory", "D:\\Documenti\\Posta\\mail.slt\\Mail\\pop.example.com");
user_pref("mail.server.server2.hostname", "pop.example.com");
user_pref("mail.server.server2.spamActionTargetFolder", "mailbox://nobody@Local%20Folders/Junk");
user_pref("mail.server.server2.storeContractID", "@mozilla.org/msgstore/berkeleystore;1");
user_pref("mail.server.server2.type", "pop3");
user_pref("mail.server.server2.userName", "mario");
user_pref("print.printer_PostScript/default.print_bgcolor", false);
""",
        "linux": {
            "mail.server.server1.directory":
                '"{T}/Posta/mail.slt/Mail/Local Folders"',
            "mail.server.server2.directory":
                '"{T}/Posta/mail.slt/Mail/pop.example.com"',
        },
        "windows": {
            "mail.server.server1.directory":
                r'"d:\\documenti\\posta\\mail.slt\\Mail\\Local Folders"',
            "mail.server.server2.directory":
                r'"d:\\documenti\\posta\\mail.slt\\Mail\\pop.example.com"',
        },
    },
]

PREF = re.compile(r'^user_pref\("((?:[^"\\]|\\.)*)", (.*)\);$')


class Checks:
    """Records each check's outcome, so that one run reports every fault."""

    def __init__(self):
        self.failed = 0

    def check(self, label, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + label)
        if not ok:
            self.failed += 1
            for line in detail.splitlines():
                print("       " + line)


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "surrogateescape")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.encode("utf-8", "surrogateescape"))


def prefs_of(text):
    """The prefs of a prefs.js, by name, each value as written."""
    prefs = {}
    for line in text.splitlines():
        match = PREF.match(line)
        if match:
            prefs[match.group(1)] = match.group(2)
    return prefs


def mail_folders(profile):
    """Every folder under the profile that holds mail: Mail and its folders,
    and any other folder whose name speaks of a server or of Mail."""
    found = set()
    for root, dirs, _ in os.walk(profile):
        for name in dirs:
            path = os.path.relpath(os.path.join(root, name), profile)
            if "Mail" in path or "example" in path or "Local Folders" in path:
                found.add(path)
    return found


def gemmel(program, windir, linuxdir, modo):
    run = subprocess.run([program, windir, linuxdir, "linux", modo],
                         capture_output=True, text=True)
    return run.returncode, run.stdout + run.stderr


class Marionette:
    """The client's remote protocol: length-prefixed JSON over TCP."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port),
                                             timeout=QUIT_TIMEOUT)
        self.stream = self.sock.makefile("rwb")
        self.serial = 0
        self.receive()  # the greeting
        self.call("WebDriver:NewSession", {})

    def receive(self):
        length = b""
        while not length.endswith(b":"):
            byte = self.stream.read(1)
            if not byte:
                raise OSError("Marionette closed the connection")
            length += byte
        return json.loads(self.stream.read(int(length[:-1])))

    def call(self, command, parameters):
        self.serial += 1
        data = json.dumps([0, self.serial, command, parameters]).encode()
        self.stream.write(b"%d:%s" % (len(data), data))
        self.stream.flush()
        _, _, error, result = self.receive()
        if error:
            raise OSError("%s: %s" % (command, error.get("message", error)))
        return result

    def close(self):
        self.stream.close()
        self.sock.close()


# Loads the accounts, as the folder pane does at every start, and gives each
# server's folder as the client resolved it (making it where it is missing).
SERVER_FOLDERS = """
const { MailServices } = ChromeUtils.importESModule(
    "resource:///modules/MailServices.sys.mjs");
return Object.fromEntries(MailServices.accounts.allServers.map(
    server => [server.key, server.localPath.path]));
"""


def die_with_parent():
    """Makes the client die with this test, should a timeout kill it."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # DEATHSIG


def open_with_client(client, profile, home):
    """Starts the client on `profile`, asks it for each server's folder once
    it has loaded its accounts, then makes it quit as its Quit menu does, so
    that it writes prefs.js (SIGTERM kills it without that). Returns what
    went wrong (or an empty string) and the folders by server."""
    port_file = os.path.join(profile, "MarionetteActivePort")
    if os.path.exists(port_file):
        os.remove(port_file)
    write(os.path.join(profile, "user.js"), USER_JS)
    prefs = os.path.join(profile, "prefs.js")
    env = dict(os.environ, HOME=home, MOZ_HEADLESS="1",
               MOZ_CRASHREPORTER_DISABLE="1")
    log_path = os.path.join(home, "client.log")
    log = open(log_path, "ab")
    started = time.monotonic()
    process = subprocess.Popen(
        [client, "--headless", "--marionette", "-remote-allow-system-access",
         "--profile", profile, "--no-remote"],
        env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
        preexec_fn=die_with_parent)
    problem, folders, remote = "", {}, None
    try:
        port = ""
        while not port.isdigit():
            if process.poll() is not None:
                raise OSError("the client quit by itself, status %d" %
                              process.returncode)
            if time.monotonic() - started > START_TIMEOUT:
                raise OSError("no Marionette port in %d s" % START_TIMEOUT)
            time.sleep(0.2)
            if os.path.exists(port_file):
                port = read(port_file).strip()
        remote = Marionette(int(port))
        remote.call("Marionette:SetContext", {"value": "chrome"})
        folders = remote.call("WebDriver:ExecuteScript",
                              {"script": SERVER_FOLDERS, "args": []})["value"]
        loaded = time.monotonic() - started
        before = os.stat(prefs).st_mtime_ns
        remote.call("Marionette:Quit", {})
        process.wait(QUIT_TIMEOUT)
        print("     client: accounts loaded in %.1f s, quit in %.1f s" % (
            loaded, time.monotonic() - started - loaded))
    except (OSError, ValueError, KeyError, subprocess.TimeoutExpired) as error:
        problem = str(error)
    finally:
        if remote:
            remote.close()
        if process.poll() is None:
            process.kill()
            process.wait()
        log.close()
    if not problem and process.returncode != 0:
        problem = "the client ended with status %d" % process.returncode
    if not problem and os.stat(prefs).st_mtime_ns == before:
        problem = "the client did not write prefs.js on quitting"
    if problem:
        problem += "\nthe end of %s:\n" % log_path + "\n".join(
            read(log_path).splitlines()[-5:])
    return problem, folders


def check_kept(checks, label, before, after, holds_folder):
    """Every pref of `before` that does not hold the profile's folder is in
    `after` under the same name, byte for byte."""
    changed = ["%s\n  before: %s\n  after:  %s" %
               (pref, value, after.get(pref))
               for pref, value in sorted(before.items())
               if not holds_folder(pref, value) and after.get(pref) != value]
    changed += ["new name: " + pref for pref in sorted(after)
                if pref not in before]
    checks.check(label + " keeps every pref without the folder, name and "
                 "value", not changed, "\n".join(changed))


def make_profile(case, scratch, converted):
    """The profile of `case` in Windows form, its mail folders on disk."""
    top = os.path.join(scratch, "converted" if converted else "control")
    linuxdir = os.path.join(top, case["folder"]) + "/"
    for folder in case["mail"].values():
        write(os.path.join(linuxdir, folder, "Inbox"), "")
    write(os.path.join(linuxdir, "prefs.js"), case["prefs"])
    if "panacea" in case:
        write(os.path.join(linuxdir, "panacea.dat"), case["panacea"])
    home = os.path.join(top, "home-" + case["name"])
    os.makedirs(home)
    return top, linuxdir, home


def check_profile(checks, program, client, case, scratch):
    name = case["name"]
    top, linuxdir, home = make_profile(case, scratch, converted=True)
    profile = linuxdir.rstrip("/")

    def expand(value):
        return value.replace("{T}", top)

    expected_folders = mail_folders(profile)

    status, said = gemmel(program, case["windir"], linuxdir, "linux")
    checks.check("%s: gemmel converts the profile to Linux form" % name,
                 status == 0, said)
    converted = prefs_of(read(os.path.join(linuxdir, "prefs.js")))
    check_kept(checks, "%s: Linux form" % name, prefs_of(case["prefs"]),
               converted, lambda pref, value: pref in case["linux"])
    for pref, value in case["linux"].items():
        checks.check("%s: gemmel writes %s in Linux form" % (name, pref),
                     converted.get(pref) == expand(value),
                     "got      %s\nexpected %s" % (
                         converted.get(pref), expand(value)))
    if "panacea_linux" in case:
        got = read(os.path.join(linuxdir, "panacea.dat"))
        want = expand(case["panacea_linux"])
        checks.check("%s: panacea.dat with $C3$B2 converted to Linux form" %
                     name, got == want,
                     "got:\n%s\nexpected:\n%s" % (got, want))

    def open_and_check(when):
        problem, folders = open_with_client(client, profile, home)
        checks.check("%s, %s: the client loads its accounts and quits" % (
            name, when), not problem, problem)
        expected = {server: linuxdir + folder
                    for server, folder in case["mail"].items()}
        checks.check("%s, %s: the client finds every server's folder" % (
            name, when), folders == expected, "client: %s\nexpected: %s" % (
                folders, expected))
        new = mail_folders(profile) - expected_folders
        checks.check("%s, %s: the client makes no new folder" % (name, when),
                     not new, "new: " + ", ".join(sorted(new)))
        written = read(os.path.join(linuxdir, "prefs.js"))
        prefs = prefs_of(written)
        for pref, value in case["linux"].items():
            if pref.endswith(".directory"):
                checks.check("%s, %s: the client keeps %s" %
                             (name, when, pref),
                             prefs.get(pref) == expand(value),
                             "client wrote %s\nexpected     %s" % (
                                 prefs.get(pref), expand(value)))
        return written

    written = open_and_check("after Windows to Linux")

    # What the client wrote, to Windows form: only the profile's paths change.
    status, said = gemmel(program, case["windir"], linuxdir, "win")
    checks.check("%s: gemmel converts the client's prefs.js to Windows form" %
                 name, status == 0, said)
    client_prefs = prefs_of(written)
    windows = prefs_of(read(os.path.join(linuxdir, "prefs.js")))
    check_kept(checks, "%s: Windows form" % name, client_prefs, windows,
               lambda pref, value: profile in value)
    for pref, value in case["windows"].items():
        checks.check("%s: Windows form of %s" % (name, pref),
                     windows.get(pref) == value,
                     "got      %s\nexpected %s" % (windows.get(pref), value))

    status, said = gemmel(program, case["windir"], linuxdir, "linux")
    checks.check("%s: gemmel converts it back to Linux form" % name,
                 status == 0, said)
    back = read(os.path.join(linuxdir, "prefs.js"))
    checks.check("%s: the round trip gives back the client's prefs.js" % name,
                 back == written, "differs in: " + ", ".join(
                     sorted(pref for pref, value in prefs_of(back).items()
                            if client_prefs.get(pref) != value)))
    open_and_check("after the round trip")


def check_control(checks, client, case, scratch):
    """The same profile unconverted: the client must make new folders or
    change a server's folder, or the checks above could never fail."""
    _, linuxdir, home = make_profile(case, scratch, converted=False)
    profile = linuxdir.rstrip("/")
    before = mail_folders(profile)
    problem, folders = open_with_client(client, profile, home)
    new = mail_folders(profile) - before
    prefs = prefs_of(read(os.path.join(linuxdir, "prefs.js")))
    moved = [pref for pref in case["linux"]
             if pref.endswith(".directory")
             and prefs.get(pref) != prefs_of(case["prefs"]).get(pref)]
    checks.check("%s, control: unconverted, the client makes new folders "
                 "and moves a server" % case["name"],
                 not problem and new and moved,
                 problem or "client's folders: %s" % folders)
    print("     new folders: %s; servers moved: %s" % (
        ", ".join(sorted(new)) or "none", ", ".join(moved) or "none"))


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    program = os.path.abspath(argv[1])
    client = shutil.which(os.environ.get("THUNDERBIRD", "thunderbird"))
    if client is None:
        print("SKIP thunderbird is not installed (apt-get install "
              "thunderbird); the converted profiles were not opened")
        return SKIP
    checks = Checks()
    started = time.monotonic()
    scratch = tempfile.mkdtemp(prefix="gemmel-client-")
    if not scratch.isascii() or any(c in scratch for c in '"$\\)'):
        print("the scratch folder %s holds a byte that the expected values "
              "do not escape: set TMPDIR" % scratch)
        os.rmdir(scratch)
        return 1
    try:
        for case in PROFILES:
            check_profile(checks, program, client, case, scratch)
            check_control(checks, client, case, scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d failed, in %.0f s" % (checks.failed, time.monotonic() - started))
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
