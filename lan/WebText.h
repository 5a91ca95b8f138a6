// Text for the web page and the identification document. Everything shown there that came from the
// module or a client passes through these: the ANSI code page's bytes become UTF-8, and markup
// characters become entities (HTML and XML) or escapes (JSON), so a reply carrying "<script>" is text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace web {

// Bytes in the ANSI code page (what travels to and from the module) as UTF-8, and back. nullopt when
// the UTF-8 is malformed or holds a character the code page lacks.
std::string AnsiToUtf8(std::string_view ansi);
std::optional<std::string> Utf8ToAnsi(std::string_view utf8);

// For element content and quoted attribute values alike: & < > " '
std::string EscapeMarkup(std::string_view utf8);
// A JSON string literal, quotes included. Control characters and "<" ">" "&" are escaped, so the
// literal is safe anywhere a page might embed it.
std::string JsonString(std::string_view utf8);

} // namespace web
