#pragma once
// The protocol-buffer text form of a program (what program authors write and read), turned into
// the wire form so that it loads through the same decoder as a downloaded program:
//
//   instructions { type: STATEMENT function_name: "50" value { type: STRING string_value: "f" } }
//   activities { activities { name: "f" data { type: STATEMENT function_name: "8" } } }
//
// Fields may be separated by ";" or ","; "#" starts a comment; an enumeration takes its name or
// number; a repeated scalar may be written as a [list].

#include <optional>
#include <string>
#include <string_view>

#include "platform/Object.h"

// The encoded Program message, or nothing with a readable reason (line and problem).
std::optional<platform::Data> APMPProgramBytesFromTextForm(std::string_view text, std::string* problem);
