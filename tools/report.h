// How velmtape's answers read: byte counts, "label: value" lines, and the media and drive
// parameters as lines for people and as JSON for scripts, shared by every command and the demo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/tapeclass.h"
#include "tools/commands.h"

namespace tools {

// A line as it may be printed on a terminal or read by a script line by line: control
// characters (a newline in a file name could start a forged `velmtape:` line), bytes that are
// not UTF-8 and the backslash itself written as C escapes (\n, \x1b, \\).
std::string Printable(const std::string& text);
// A byte count for people: "512.0 MB".
std::string Human(uint64_t bytes);
// "label:" padded to the value column, then the value.
std::string Line(const std::string& label, const std::string& value);
std::string OnOff(bool on);
std::string BlockSizeText(ULONG size);
// A tape status as {name, code, meaning}.
nlohmann::json StatusJson(TAPE_STATUS status);
// The drive's answer in a tape user's words ("there is no cartridge in the drive"), and what
// to do next when there is something to do (empty otherwise): one table for every command.
std::string AnswerWords(TAPE_STATUS status);
std::string NextStep(TAPE_STATUS status);
// The answer says the tape has no room left where it stands.
bool TapeFull(TAPE_STATUS status);
// A failure as said on the error line: "COMMAND: what: the drive's answer; the tape stands at
// WHERE; the next step", each part only when there is one.
std::string FailureText(const std::string& command, const Failure& failure);
// A position answer ({partition, block} or {absolute}) in words.
std::string PositionText(const nlohmann::json& position);
// The feature flags by their platform names, without the common TAPE_DRIVE_ prefix.
std::vector<std::string> FeatureNames(ULONG low, ULONG high);

// The media parameters, and the drive parameters (with the block and partition limits when
// `limits`), added to the outcome's lines and JSON.
void AddMedia(const TAPE_GET_MEDIA_PARAMETERS& media, CommandResult& out);
void AddDrive(const TAPE_GET_DRIVE_PARAMETERS& drive, bool limits, CommandResult& out);

}  // namespace tools
