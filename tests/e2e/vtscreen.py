"""What a terminal shows of the bytes a program writes to it, for the cases
that type at a terminal: the screen as lines of text (trailing blanks
dropped, as a screen cannot show them), where the cursor stands, and how many
times the bell rang.

The terminal is an xterm of a given width: printable characters overwrite the
cell under the cursor (a line wraps at the last column), CR, LF, BS, TAB and
BEL act as on a terminal, and the control sequences a line editor sends move
the cursor, erase and insert (CSI A B C D G H K J @ P X). Other sequences
(colours, modes) change nothing that shows. The screen keeps every line that
scrolled off its top, so a whole session can be compared line by line.
"""
import re

_CSI = re.compile(r"\x1b\[([0-9;?]*)[ -/]*([@-~])")
_ESC_OTHER = re.compile(r"\x1b[()][0-9A-Za-z]|\x1b[^\[]")


class Screen:
    def __init__(self, data=b"", columns=400, rows=50):
        self.columns = columns
        self.rows = rows
        self.cells = [[]]
        self.row = 0
        self.col = 0
        self.bells = 0
        self.feed(data)

    # Reading it.

    @property
    def lines(self):
        return ["".join(line).rstrip() for line in self.cells]

    @property
    def cursor_line(self):
        """The line the cursor stands on, up to its end."""
        return "".join(self.cells[self.row]).rstrip()

    def text(self):
        return "\n".join(self.lines).rstrip("\n") + "\n"

    # Writing to it.

    def feed(self, data):
        text = data.decode("utf-8", "replace") if isinstance(data, bytes) else data
        i = 0
        while i < len(text):
            c = text[i]
            if c == "\x1b":
                found = _CSI.match(text, i)
                if found:
                    self._control(found.group(1), found.group(2))
                    i = found.end()
                    continue
                other = _ESC_OTHER.match(text, i)
                i = other.end() if other else i + 1
                continue
            self._character(c)
            i += 1

    def _line(self):
        while len(self.cells) <= self.row:
            self.cells.append([])
        return self.cells[self.row]

    def _character(self, c):
        if c == "\r":
            self.col = 0
        elif c == "\n":
            self.row += 1
            self._line()
        elif c == "\b":
            self.col = max(0, self.col - 1)
        elif c == "\a":
            self.bells += 1
        elif c == "\t":
            self.col = min(self.columns - 1, (self.col // 8 + 1) * 8)
        elif ord(c) >= 0x20 and c != "\x7f":
            if self.col >= self.columns:
                self.row += 1
                self.col = 0
            line = self._line()
            while len(line) <= self.col:
                line.append(" ")
            line[self.col] = c
            self.col += 1

    def _control(self, params, final):
        numbers = [int(p) if p.isdigit() else 0 for p in params.lstrip("?").split(";")] if params else []
        n = numbers[0] if numbers and numbers[0] > 0 else 1
        line = self._line()
        if params.startswith("?"):
            return  # modes: the cursor shown or hidden and the like
        if final == "A":
            self.row = max(self.top(), self.row - n)
        elif final == "B":
            self.row += n
            self._line()
        elif final == "C":
            self.col = min(self.columns - 1, self.col + n)
        elif final == "D":
            self.col = max(0, self.col - n)
        elif final == "G":
            self.col = min(self.columns - 1, n - 1)
        elif final in "Hf":
            column = numbers[1] if len(numbers) > 1 and numbers[1] > 0 else 1
            self.row = self.top() + n - 1
            self.col = column - 1
            self._line()
        elif final == "K":
            self._erase_line(numbers[0] if numbers else 0, line)
        elif final == "J":
            self._erase_screen(numbers[0] if numbers else 0, line)
        elif final == "@":
            line[self.col:self.col] = [" "] * n if self.col <= len(line) else []
        elif final == "P":
            del line[self.col:self.col + n]
        elif final == "X":
            for k in range(self.col, min(len(line), self.col + n)):
                line[k] = " "

    def top(self):
        """The first line of the visible screen."""
        return max(0, len(self.cells) - self.rows)

    def _erase_line(self, mode, line):
        if mode == 0:
            del line[self.col:]
        elif mode == 1:
            for k in range(min(len(line), self.col + 1)):
                line[k] = " "
        else:
            line.clear()

    def _erase_screen(self, mode, line):
        if mode == 0:
            del line[self.col:]
            del self.cells[self.row + 1:]
        else:
            for k in range(self.top(), len(self.cells)):
                self.cells[k] = []
