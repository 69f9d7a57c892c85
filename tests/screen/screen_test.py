#!/usr/bin/python3
"""Screen tests of the real Velmora.exe under Wine, in a pseudo-terminal.

Wine's console turns text attributes into SGR escape codes when its console is
a Unix terminal (attribute 7 as ESC[m, 15 as ESC[97m, 10 as ESC[92m, 12 as
ESC[91m, 3 as ESC[36m, 11 as ESC[96m), and may repaint the screen with cursor
moves. A small terminal model replays that byte stream onto a grid of
(character, attribute) cells, and the tests read colours off that grid, as a
person would see them.

Environment: VELMORA_EXE (the executable), VELMORA_WINEPREFIX (a ready prefix),
VELMORA_LOCK_HOLDER (the tests' program that holds the update lock).
"""
import codecs
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
EXE = os.path.abspath(os.environ.get('VELMORA_EXE', 'Velmora.exe'))
PREFIX = os.environ.get('VELMORA_WINEPREFIX', '')
LOCK_HOLDER = os.environ.get('VELMORA_LOCK_HOLDER', '')
# Starts Wine through the loader that fits the program and the host.
WINE = os.path.join(HERE, '..', '..', 'scripts', 'wine.sh')
ROWS, COLS = 50, 250           # wide enough that no line of the tool wraps
TIMEOUT = 120                  # Wine's first start in a prefix can take a while

WHITE, GREEN, RED, CYAN = 15, 10, 12, 3   # console attributes
ANSI_TO_CONSOLE = [0, 4, 2, 6, 1, 5, 3, 7]  # ANSI colour number -> console bits
# Always given with /reg:64, the view the tool works on, whichever reg.exe runs.
POLICY_KEY = r'HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer'


def read_texts(path):
    """The texts of tests/screens.h by name: every `inline const std::string
    NAME = "..." "...";`, its literals joined and their escapes undone."""
    literal = r'"(?:[^"\\]|\\.)*"'
    with open(path, encoding='utf-8') as header:
        source = header.read()
    return {name: ''.join(codecs.decode(part[1:-1], 'unicode_escape')
                          for part in re.findall(literal, literals))
            for name, literals in re.findall(
                r'inline const std::string (\w+) =((?:\s*%s)+);' % literal, source)}


def lines(text):
    """The lines of a text that show something, without their blanks and tabs."""
    return [line.strip() for line in text.split('\n') if line.strip()]


TEXTS = read_texts(os.path.join(HERE, '..', 'screens.h'))
BANNER = lines(TEXTS['kBanner'])
USAGE = lines(TEXTS['kUsageLines'])
OUTSIDE_PROMPT = lines(TEXTS['kNotFromPrompt'])
NOTICE_NO_WAIT = lines(TEXTS['kNotFromPromptNoWait'])
NOTE = TEXTS['kNote'].strip()
HIDE_FAILED = TEXTS['kHideFailure']
UNHIDE_FAILED = TEXTS['kUnhideFailure']
INVALID_PARAMETERS, DRIVE_NOT_SPECIFIED, INVALID_DRIVE_NAME = (
    TEXTS[name].strip() for name in ('kInvalidParameters', 'kDriveNotSpecified', 'kInvalidDriveName'))


def hiding(echo):
    return TEXTS['kHiding'].lstrip() + echo


def unhiding(echo):
    return TEXTS['kUnhiding'].lstrip() + echo


CSI = re.compile(r'\x1b\[([?>=]?)([0-9;]*)[ -/]*([@-~])')
OSC = re.compile(r'\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)')
PARTIAL = re.compile(r'\x1b(?:\[[?>=]?[0-9;]*[ -/]*|\][^\x07\x1b]*\x1b?)?')


class Screen:
    """A terminal of ROWS x COLS with unbounded scroll-back; cells hold
    (character, console attribute)."""

    def __init__(self):
        self.lines = [[]]
        self.top = self.row = self.col = 0
        self.attr = 7
        self.rest = ''
        self.decoder = codecs.getincrementaldecoder('utf-8')('replace')

    def feed(self, data):
        text = self.rest + self.decoder.decode(data)
        self.rest = ''
        i = 0
        while i < len(text):
            ch = text[i]
            if ch == '\x1b':
                m = CSI.match(text, i) or OSC.match(text, i)
                if m:
                    if m.re is CSI:
                        self._csi(m.group(1), m.group(2), m.group(3))
                    i = m.end()
                elif PARTIAL.fullmatch(text, i):
                    self.rest = text[i:]       # sequence split across reads
                    return
                else:
                    i += 2                     # ESC 7, ESC = and the like
                continue
            if ch == '\r':
                self.col = 0
            elif ch == '\n':
                self._line_feed()
            elif ch == '\b':
                self.col = max(0, min(self.col, COLS - 1) - 1)
            elif ch == '\t':
                self.col = min(COLS - 1, (self.col // 8 + 1) * 8)
            elif ch >= ' ' and ch != '\x7f':
                self._put(ch)
            i += 1

    def _line_feed(self):
        self.row += 1
        while len(self.lines) <= self.row:
            self.lines.append([])
        self.top = max(self.top, self.row - ROWS + 1)

    def _put(self, ch):
        if self.col >= COLS:                   # deferred wrap
            self.col = 0
            self._line_feed()
        line = self.lines[self.row]
        line.extend([(' ', None)] * (self.col + 1 - len(line)))
        line[self.col] = (ch, self.attr)
        self.col += 1

    def _goto(self, row, col):
        self.row = max(self.top, min(self.top + ROWS - 1, row))
        self.col = max(0, min(COLS - 1, col))
        while len(self.lines) <= self.row:
            self.lines.append([])

    def _csi(self, private, params, final):
        if private:
            return                             # cursor visibility and modes
        nums = [int(p) if p else 0 for p in params.split(';')] if params else []
        n = nums[0] if nums and nums[0] else 1
        if final == 'm':
            for p in nums or [0]:
                if p == 0:
                    self.attr = 7
                elif p == 39:
                    self.attr = self.attr & 0xF0 | 7
                elif p == 49:
                    self.attr &= 0x0F
                elif 30 <= p <= 37 or 90 <= p <= 97:
                    fg = ANSI_TO_CONSOLE[p % 10] | (8 if p >= 90 else 0)
                    self.attr = self.attr & 0xF0 | fg
                elif 40 <= p <= 47 or 100 <= p <= 107:
                    bg = ANSI_TO_CONSOLE[p % 10] | (8 if p >= 100 else 0)
                    self.attr = self.attr & 0x0F | bg << 4
        elif final in 'Hf':
            row = nums[0] if nums and nums[0] else 1
            col = nums[1] if len(nums) > 1 and nums[1] else 1
            self._goto(self.top + row - 1, col - 1)
        elif final in 'ABCDGd':
            moves = {'A': (-n, 0), 'B': (n, 0), 'C': (0, n), 'D': (0, -n)}
            if final in moves:
                self._goto(self.row + moves[final][0], self.col + moves[final][1])
            elif final == 'G':
                self._goto(self.row, n - 1)
            else:
                self._goto(self.top + n - 1, self.col)
        elif final == 'K':
            line = self.lines[self.row]
            how = nums[0] if nums else 0
            if how == 0:
                del line[self.col:]
            else:
                end = len(line) if how == 2 else self.col + 1
                line[:end] = [(' ', None)] * min(end, len(line))
        elif final == 'J':
            how = nums[0] if nums else 0
            first = self.row + 1 if how == 0 else self.top
            last = self.row - 1 if how == 1 else len(self.lines) - 1
            for r in range(first, last + 1):
                self.lines[r] = []
            if how == 0:
                del self.lines[self.row][self.col:]

    # What a person sees.
    def rows(self):
        return [''.join(ch for ch, _ in line) for line in self.lines]

    def text(self):
        return '\n'.join(r.rstrip() for r in self.rows())

    def attributes_of(self, needle):
        """Attributes of the visible characters of every occurrence of needle."""
        found = set()
        for line, row in zip(self.lines, self.rows()):
            start = row.find(needle)
            while start >= 0:
                found |= {a for ch, a in line[start:start + len(needle)] if ch != ' '}
                start = row.find(needle, start + 1)
        if not found:
            raise AssertionError('%r is not on the screen:\n%s' % (needle, self.text()))
        return found

    def all_attributes(self):
        return {a for line in self.lines for ch, a in line if ch != ' '}


def wine_environment():
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG='-all',
               WINEDLLOVERRIDES='mscoree,mshtml=', TERM='xterm')
    for name in ('PROMPT', 'DISPLAY', 'WAYLAND_DISPLAY'):
        env.pop(name, None)
    return env


def reg(operation, *options):
    """Wine's `reg OPERATION` on NoDrives, with OPTIONS; what it printed."""
    return subprocess.run([WINE, 'reg', operation, POLICY_KEY, '/v', 'NoDrives', '/reg:64'] +
                          list(options),
                          env=wine_environment(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=TIMEOUT).stdout.decode('latin-1')


def stored_no_drives():
    """NoDrives as `reg query` shows it ('0x4'), or None when there is none."""
    found = re.search(r'NoDrives\s+REG_DWORD\s+(0x[0-9a-f]+)', reg('query'))
    return found.group(1) if found else None


class Session:
    """`scripts/wine.sh ARGS` on a fresh pseudo-terminal, PROMPT removed from its
    environment unless one is given; its input from /dev/null if asked."""

    def __init__(self, args, prompt=None, no_input=False):
        env = wine_environment()
        if prompt is not None:
            env['PROMPT'] = prompt
        self.screen = Screen()
        self.status = None
        self.eof = False
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack('HHHH', ROWS, COLS, 0, 0))
                os.chdir(os.path.dirname(EXE))
                if no_input:
                    fd = os.open(os.devnull, os.O_RDONLY)
                    os.dup2(fd, 0)
                # Wine's own messages (its "Read access denied" for Z:, read
                # while the table is drawn) would land on the screen: they go
                # to a log. Velmora writes to its console alone.
                log = os.open(os.path.join(PREFIX or HERE, 'screen-wine.log'),
                              os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
                os.dup2(log, 2)
                os.execve(WINE, [WINE] + list(args), env)
            finally:
                os._exit(127)

    def _pump(self, wait):
        if self.eof:
            time.sleep(wait)
            return
        ready, _, _ = select.select([self.fd], [], [], wait)
        if ready:
            try:
                data = os.read(self.fd, 65536)
            except OSError:                    # EIO: every writer has gone
                data = b''
            self.eof = not data
            self.screen.feed(data)

    def running(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status is None

    def wait_for(self, text, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while text not in self.screen.text():
            if time.monotonic() > deadline or (self.eof and not self.running()):
                raise AssertionError('no %r on the screen:\n%s' % (text, self.screen.text()))
            self._pump(0.2)

    def idle(self, seconds):
        """Keeps reading the terminal for a while."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._pump(0.1)

    def send(self, keys):
        os.write(self.fd, keys)

    def finish(self, timeout=TIMEOUT):
        """Waits for the exit and the last output; returns the exit status."""
        deadline = time.monotonic() + timeout
        while self.running():
            if time.monotonic() > deadline:
                raise AssertionError('still running after %d s:\n%s'
                                     % (timeout, self.screen.text()))
            self._pump(0.2)
        quiet = time.monotonic() + 2
        while not self.eof and time.monotonic() < quiet:
            self._pump(0.2)
        return self.status

    def close(self):
        if self.running():
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.waitpid(self.pid, 0)
        os.close(self.fd)


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


class ScreenTest(unittest.TestCase):
    def run_wine(self, *args, prompt=None, no_input=False):
        session = Session(args, prompt, no_input)
        self.addCleanup(session.close)
        return session

    def run_batch(self, lines):
        """Runs a batch file in `cmd /c`; %EXE% names Velmora.exe."""
        folder = tempfile.mkdtemp(prefix='velmora-screen-')
        self.addCleanup(shutil.rmtree, folder, True)
        path = os.path.join(folder, 'run.bat')
        with open(path, 'w', newline='\r\n') as batch:
            batch.write('@echo off\nset EXE="%s"\n' % windows_path(EXE))
            batch.write('\n'.join(lines) + '\n')
        return self.run_wine('cmd', '/c', windows_path(path))

    def assertColour(self, screen, texts, attribute):
        for text in texts:
            self.assertEqual(screen.attributes_of(text), {attribute},
                             '%r\n%s' % (text, screen.text()))


class ColourTest(ScreenTest):
    def test_usage_screens_and_error_lines(self):
        cases = [  # arguments, red error line or None, exit status
            (['-?'], None, 0),
            (['/?'], None, 0),
            (['-x'], None, 1),
            (['-L', 'word'], None, 1),
            (['a', 'b', 'c'], INVALID_PARAMETERS, 1),
            (['-H', ''], DRIVE_NOT_SPECIFIED, 1),
            (['-u', '1'], INVALID_DRIVE_NAME, 1),
        ]
        for args, error, status in cases:
            with self.subTest(args=args):
                session = self.run_wine(EXE, *args)
                self.assertEqual(session.finish(), status, session.screen.text())
                screen = session.screen
                self.assertColour(screen, BANNER, WHITE)
                self.assertColour(screen, USAGE, GREEN)
                self.assertNotIn('Press any key', screen.text())
                if error:
                    self.assertColour(screen, [error], RED)
                else:
                    self.assertNotIn(RED, screen.all_attributes(), screen.text())

    def test_commands_keep_the_starting_colour(self):
        # The console starts cyan (3): the tool's own lines in its colour come
        # back as 11, and whatever the prompt prints after the run is in 3
        # again, the console's own colour.
        session = self.run_batch([
            'color 03',
            'reg delete "%s" /v NoDrives /f /reg:64 >nul 2>&1' % POLICY_KEY,
            '%EXE% -H q', 'echo AFTER-HIDE[%ERRORLEVEL%]',
            '%EXE% -U q', 'echo AFTER-UNHIDE[%ERRORLEVEL%]',
            '%EXE% -L', 'echo AFTER-LIST[%ERRORLEVEL%]',
            # A value the tool cannot merge into: both commands refuse it.
            'reg add "%s" /v NoDrives /t REG_SZ /d junk /f /reg:64 >nul' % POLICY_KEY,
            '%EXE% -H r', 'echo AFTER-HIDE-FAILED[%ERRORLEVEL%]',
            '%EXE% -U r', 'echo AFTER-UNHIDE-FAILED[%ERRORLEVEL%]',
            'reg delete "%s" /v NoDrives /f /reg:64 >nul 2>&1' % POLICY_KEY,
        ])
        self.assertEqual(session.finish(), 0)
        screen = session.screen
        bright_cyan = CYAN | 8
        self.assertColour(screen, BANNER + [NOTE], WHITE)
        self.assertColour(screen, [
            hiding('Q'), TEXTS['kHidden'].lstrip() + 'Q',
            unhiding('Q'), TEXTS['kMadeVisible'].lstrip() + 'Q' + TEXTS['kVisible'],
            hiding('R'), unhiding('R')], bright_cyan)
        self.assertColour(screen, [
            'AFTER-HIDE[0]', 'AFTER-UNHIDE[0]', 'AFTER-LIST[0]',
            'AFTER-HIDE-FAILED[1]', 'AFTER-UNHIDE-FAILED[1]'], CYAN)
        # A failure text follows its announcement on the same screen line.
        self.assertColour(screen, [HIDE_FAILED, UNHIDE_FAILED], RED)
        rows = screen.rows()
        self.assertTrue(any(hiding('R') + HIDE_FAILED in r for r in rows))
        self.assertTrue(any(unhiding('R') + UNHIDE_FAILED in r for r in rows))
        self.assertEqual(screen.text().count(NOTE), 2, screen.text())
        # The listing: header, rule and one row per drive, all bright green.
        listing = [r.strip() for r in rows
                   if re.match(r' [A-Z]:\\ ', r) or r.startswith(' Drive ') or
                   r.startswith(' ===')]
        self.assertIn('=' * 87, listing)
        self.assertTrue(any(r.startswith('Drive ') and r.endswith('Drive Status')
                            for r in listing), screen.text())
        self.assertTrue(any(r.startswith('C:\\') and r.endswith('Visible')
                            for r in listing), screen.text())
        self.assertColour(screen, listing, GREEN)

    def test_ctrl_c_in_a_lock_wait_leaves_the_starting_colour_and_the_status(self):
        # The holder keeps the update lock and starts the console at cyan (3);
        # Ctrl+C typed (the byte, as a person types it) while -H waits for the
        # lock: Velmora ends with STATUS_CONTROL_C_EXIT, the holder's next line
        # shows the console back at exactly 3, and NoDrives is as it was.
        reg('add', '/t', 'REG_DWORD', '/d', '4', '/f')
        self.addCleanup(reg, 'delete', '/f')
        session = self.run_wine(LOCK_HOLDER, windows_path(EXE), '-H', 'q')
        session.wait_for(hiding('Q'))
        session.idle(0.5)
        session.send(b'\x03')
        self.assertEqual(session.finish(), 0, session.screen.text())
        exit_line = 'EXIT[C000013A]'
        self.assertIn(exit_line, session.screen.text())
        self.assertColour(session.screen, [exit_line], CYAN)
        self.assertEqual(stored_no_drives(), '0x4')


class KeyWaitTest(ScreenTest):
    def test_outside_a_prompt_it_waits_for_a_key(self):
        session = self.run_wine(EXE)
        session.wait_for(OUTSIDE_PROMPT[1])
        session.idle(2)
        self.assertTrue(session.running(), 'it ended without a key press')
        self.assertColour(session.screen, BANNER, WHITE)
        self.assertColour(session.screen, USAGE, GREEN)
        self.assertColour(session.screen, OUTSIDE_PROMPT, RED)
        session.send(b'k')
        self.assertEqual(session.finish(), 0)
        after = session.screen.text().split(OUTSIDE_PROMPT[1])[1]
        self.assertNotIn('k', after, 'the key was echoed')

    def test_when_nobody_can_press_a_key_it_ends_by_itself(self):
        # Without PROMPT, but with input from /dev/null, or sharing the
        # console with cmd: the notice without "Press any key", no wait.
        cases = [('input from /dev/null', lambda: self.run_wine(EXE, no_input=True)),
                 ('cmd /c with PROMPT cleared',
                  lambda: self.run_batch(['set PROMPT=', '%EXE%', 'echo STATUS[%ERRORLEVEL%]']))]
        for name, start in cases:
            with self.subTest(name):
                session = start()
                self.assertEqual(session.finish(timeout=60), 0, session.screen.text())
                screen = session.screen
                self.assertColour(screen, BANNER, WHITE)
                self.assertColour(screen, USAGE, GREEN)
                self.assertColour(screen, NOTICE_NO_WAIT, RED)
                self.assertNotIn('Press any key', screen.text())
                if 'cmd' in name:
                    self.assertIn('STATUS[0]', screen.text())

    def test_from_a_prompt_it_does_not_wait(self):
        cases = [('cmd /c', ['cmd', '/c', EXE], None),
                 ('PROMPT in the environment', [EXE], '$P$G')]
        for name, args, prompt in cases:
            with self.subTest(name):
                session = self.run_wine(*args, prompt=prompt)
                self.assertEqual(session.finish(), 0, session.screen.text())
                self.assertColour(session.screen, BANNER, WHITE)
                self.assertColour(session.screen, USAGE, GREEN)
                self.assertNotIn('Press any key', session.screen.text())
                self.assertNotIn(RED, session.screen.all_attributes())


if __name__ == '__main__':
    if not os.path.isfile(EXE) or not os.path.isfile(os.path.join(PREFIX, 'system.reg')):
        raise SystemExit('VELMORA_EXE and VELMORA_WINEPREFIX must name the executable '
                         'and a ready Wine prefix')
    unittest.main(verbosity=2)
