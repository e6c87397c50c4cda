// Names and cells from user files on their way to a terminal or into XML:
// nothing in them may act as a control sequence or break the markup.
#ifndef QUORV_CLI_TEXT_H
#define QUORV_CLI_TEXT_H

#include <string>
#include <string_view>

namespace cli {

// The text with control characters (C0, DEL, C1, bidirectional overrides),
// invalid UTF-8 and NUL shown as \xNN escapes of their bytes; printable UTF-8
// and blanks stay as they are.
std::string visible(std::string_view text);

// A name as a table shows it: visible(), and cut to kNameWidth characters
// followed by "..." when longer, so that one long name cannot widen every
// cell of a table. Tables and lists of names go through this, once.
constexpr size_t kNameWidth = 40;
std::string table_name(std::string_view text);
// Characters (code points) of UTF-8 text, for lining up columns.
size_t display_width(std::string_view text);

// The text as XML 1.0 character data or attribute value: the five special
// characters as entities, tab and line ends as character references, and
// anything XML cannot hold or that would disguise the text (other controls,
// invalid UTF-8, U+FFFE/U+FFFF, bidirectional overrides) as U+FFFD.
std::string xml_text(std::string_view text);

}  // namespace cli

#endif
