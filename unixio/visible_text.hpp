// Text that came from the network, printed for a person at a terminal.
#pragma once

#include <array>
#include <cstdio>
#include <string_view>

// Prints the text with its control characters shown escaped as in a C string, so that
// bytes from a peer cannot move the cursor, clear the screen, retitle the terminal or
// forge lines: \a \b \v \f \r and \n by name, any other as \xHH (\x1B for escape, \x7F
// for delete). Control characters are the bytes 0x00 to 0x1F and 0x7F, and the C1
// controls U+0080 to U+009F, whether written in UTF-8 (\xC2\x9B) or as a lone byte
// that is not part of a valid UTF-8 character. So are, byte by byte, the characters
// that reorder or break a line unseen: the bidirectional controls U+202A to U+202E and
// U+2066 to U+2069, and the separators U+2028 and U+2029 (\xE2\x80\xAE for U+202E). A
// tab is shown as it is, and so is a newline that is the text's last byte: every typed
// line ends with one. Everything else, valid UTF-8 or not, is printed unchanged.
void print_visible(std::string_view text, std::FILE* out);

// Room for the escape of one character: a bidirectional control in UTF-8 takes three
// \xHH.
using visible_escape = std::array<char, 12>;

// Takes the start of the text off as it is shown: a run of bytes shown as they are, or
// the escape of one control character, written into `escape`. Printing each piece in
// turn until the text is empty prints the text as print_visible does.
std::string_view take_visible_piece(std::string_view& text, visible_escape& escape);
