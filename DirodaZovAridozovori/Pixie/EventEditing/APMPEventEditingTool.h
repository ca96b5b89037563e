#pragma once
// What the pixie-run tool does, as functions: read a program file (binary or text form), read an
// event written as JSON, load and apply the program as the measurement configuration does, and
// write the resulting events as JSON lines.
//
// Event JSON: {"name": text, "timestamp": number, "params": {name: value}}. A parameter value is an
// integer (a number written without "." or exponent), a floating number (written with either), a
// text, or a list of item objects holding such values. Output uses the same form, so integers
// print without "." and floating numbers always with a fraction or exponent (3.0, not 3).

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "APMPBMessages.h"
#include "APMPEvent.h"
#include "APMPEventEditing.h"
#include "platform/Error.h"

inline constexpr const char* kAPMPToolErrorDomain = "com.diroda.dmp.measurement.pixie.tool.ErrorDomain";

enum APMPToolErrorCode : int {
  kAPMPToolErrorUsage = 1,
  kAPMPToolErrorUnreadableFile = 2,
  kAPMPToolErrorBadProgram = 3,  // neither the text form nor the binary form of a program
  kAPMPToolErrorBadEvent = 4,    // not an event in the JSON form above
  kAPMPToolErrorInternal = 5,    // an unexpected failure of the tool itself
};

// The program of a file: its text form when it parses as one, else its binary form.
std::shared_ptr<APMPBProgram> APMPProgramFromFileContents(const platform::Data& contents, platform::Error* error);

std::shared_ptr<APMPEvent> APMPEventFromJSON(std::string_view json, platform::Error* error);
// One line, without the line break.
std::string APMPJSONFromEvent(const APMPEvent& event);

// The modules the tool offers programs: no settings, the platform as the only application fact,
// and log lines through the given logger (none: dropped).
APMPConfigurationModules APMPToolConfigurationModules(std::shared_ptr<APMPLoggerDelegate> logger);

// Loads the program, applies it to the event and fills the output lines: the event the engine
// would store (the edited event, or the input unchanged), then each created event in order; on
// error the one line "error DOMAIN CODE". Returns the exit status (0 on success).
int APMPRunProgramOnEvent(const platform::Data& programFile, std::string_view eventJSON,
                          std::shared_ptr<APMPLoggerDelegate> logger, std::vector<std::string>& lines);

// The error line of the tool.
std::string APMPToolErrorLine(const platform::Error& error);
