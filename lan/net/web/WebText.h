// Text for the web page and the identification document. Everything shown there that came from the
// module or a client passes through these (after codepage::AnsiToUtf8): markup characters become
// entities (HTML and XML) or escapes (JSON), so a reply carrying "<script>" is text.
#pragma once

#include <string>
#include <string_view>

namespace web {

// For element content and quoted attribute values alike: & < > " '
std::string EscapeMarkup(std::string_view utf8);
// A JSON string literal, quotes included. Control characters and "<" ">" "&" are escaped, so the
// literal is safe anywhere a page might embed it.
std::string JsonString(std::string_view utf8);

} // namespace web
