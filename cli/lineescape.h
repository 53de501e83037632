#pragma once
// Text on one line of velmora-cli's output, whatever it holds.

#include <QString>

/// `text` with every character escaped that could start a line of its own or steer a terminal:
/// "\n", "\r", "\t" and ESC as `\n`, `\r`, `\t`, `\e`; other control and format characters,
/// unassigned and private-use code points and the line and paragraph separators as `\xNN` or
/// `\uNNNN` (a lone surrogate reads as U+FFFD). Spaces and everything printable stay as they are.
QString escapedForLine(const QString &text);
