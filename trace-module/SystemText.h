#pragma once
// Process facts as text: those shared with the simulated module, and the header lines' forms.

#include "ProcessText.h"

#include <string>

namespace vorntrace {

using vornsim::environment;
using vornsim::folderOf;
using vornsim::moduleFileName;

// UTF-8, for the record's header lines.
std::string utf8(const std::wstring& text);

// "<path>" in UTF-8, escaped as record data is (and a quote as \x22): a path comes from the
// environment, and a line break or quote in it must not end the note or forge a record.
std::string quotedPath(const std::wstring& path);

} // namespace vorntrace
