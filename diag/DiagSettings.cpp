#include "diag/DiagSettings.h"

#include "control/KeypadSettingTable.h"
#include "diag/DiagOptions.h"

#include <cstdio>

namespace kivra::diag {
namespace {

const TKeypadSettingRow& Row(const std::string& name)
{
    const TKeypadSettingRow* row = FindKeypadSetting(name);
    if (row == nullptr)
        throw UsageError("no keypad setting \"" + name + "\"");
    return *row;
}

int ValueOf(const TKeypadSettingRow& row, const std::string& value)
{
    const int v = ParseSettingValue(row, value);
    if (v < 0)
        throw UsageError(std::string("--") + row.Option + ": \"" + value +
                         "\" is not a value of the setting");
    return v;
}

} // namespace

std::string SettingValue(const TKivra& k, const std::string& name)
{
    const TKeypadSettingRow& row = Row(name);
    return SettingValueText(row, row.Get(k));
}

std::string SettingValueOf(const std::string& name, const std::string& value)
{
    const TKeypadSettingRow& row = Row(name);
    return SettingValueText(row, ValueOf(row, value));
}

void ApplySetting(TKivra& k, const std::string& name, const std::string& value)
{
    const TKeypadSettingRow& row = Row(name);
    row.Set(k, ValueOf(row, value));
}

void PrintSettings(std::ostream& out, const TKivra& k)
{
    for (const TKeypadSettingRow& row : KeypadSettingTable()) {
        char line[64];
        std::snprintf(line, sizeof line, "  %-12s %s\n", row.Option,
                      SettingValueText(row, row.Get(k)).c_str());
        out << line;
    }
}

} // namespace kivra::diag
