#pragma once
// The keypad settings of "set" and "identify", in the words of the set options, through the
// control's table of the ten settings.

#include "control/Kivra.h"

#include <ostream>
#include <string>

namespace kivra::diag {

//! The value of one keypad setting as the control holds it ("on", "base", "lowmid").
std::string SettingValue(const TKivra& k, const std::string& name);

//! The value a set option's text stands for, in the words SettingValue uses ("yes" -> "on").
std::string SettingValueOf(const std::string& name, const std::string& value);

//! Writes one setting to the control (which sends the settings when connected).
void ApplySetting(TKivra& k, const std::string& name, const std::string& value);

//! The ten settings, one a line, in the order of the table.
void PrintSettings(std::ostream& out, const TKivra& k);

} // namespace kivra::diag
