// Which header runs what: the module's own command headers, taken from the server's method table, with
// the long forms of SCPI's standard mnemonics among them, plus the common commands and SYSTem:ERRor.
// Headers are matched as an instrument matches them: case-blind, short or long form, optional nodes
// in brackets, relative to the header path a compound message left.
#pragma once

#include "MethodTable.h"
#include "ScpiParser.h"

#include <optional>
#include <string>
#include <vector>

enum class CommandKind {
    ModuleSet,   // the method with the unit's parameters
    ModuleQuery, // the method asked for its reply
    SystemError, // the client's own errors first, then the module's
    Identify,    // *IDN?, the module's identification
    Common,      // *CLS, *ESE ... handled by the front end
};

// The IEEE 488.2 common commands the front end answers itself.
enum class CommonCommand {
    None,
    ClearStatus,            // *CLS
    EventEnable,            // *ESE
    EventEnableQuery,       // *ESE?
    EventStatusQuery,       // *ESR?
    ServiceEnable,          // *SRE
    ServiceEnableQuery,     // *SRE?
    StatusByteQuery,        // *STB?
    OperationComplete,      // *OPC
    OperationCompleteQuery, // *OPC?
    Wait,                   // *WAI
    Reset,                  // *RST
    SelfTestQuery,          // *TST?
};

struct CommandEntry {
    std::string pattern; // SCPI notation: "[SENSe]:CORRection:COLLect:METHod", "VORN:FINT?"
    CommandKind kind = CommandKind::Common;
    vorn::Method method = vorn::Method::SPI_VERSION; // for the module's commands
    CommonCommand common = CommonCommand::None;      // for the common commands
};

// Every header the front end knows, in SCPI notation: the table the README shows.
const std::vector<CommandEntry>& CommandEntries();

// The entry for the unit, or nullopt (an undefined header). `path` is the header path left by the
// units before it in the same message (empty at the start); it is updated as SCPI says.
const CommandEntry* ResolveHeader(const ProgramUnit& unit, std::vector<std::string>& path);
