// The ten keypad settings as one table: each row reaches its own property, values and names
// convert both ways, and a sequence of writes goes to the control in the order asked.

#include "control/KeypadSettingTable.h"
#include "tests/support/EventRecorder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace kivra {
namespace {

std::vector<int> Values(const TKivra& k)
{
    std::vector<int> v;
    for (const TKeypadSettingRow& row : KeypadSettingTable())
        v.push_back(row.Get(k));
    return v;
}

TEST(KeypadSettingTable, RowsFollowTheSettingsAndNameThemOnce)
{
    std::set<std::string> options;
    std::set<std::string> properties;
    std::size_t i = 0;
    for (const TKeypadSettingRow& row : KeypadSettingTable()) {
        EXPECT_EQ(static_cast<std::size_t>(row.Setting), i++);
        EXPECT_EQ(&KeypadSettingRow(row.Setting), &row);
        EXPECT_EQ(FindKeypadSetting(row.Option), &row);
        options.insert(row.Option);
        properties.insert(row.Property);
    }
    EXPECT_EQ(options, (std::set<std::string>{"mode", "echo", "star", "low-battery", "post-ack", "first-only",
                                              "shortcuts", "config-lock", "softkeys", "power"}));
    EXPECT_EQ(properties.size(), kKeypadSettingCount);
    EXPECT_EQ(FindKeypadSetting("Star"), nullptr);
    EXPECT_EQ(FindKeypadSetting(""), nullptr);
}

// Writing one row changes that property alone, for every value the row names; the struct's
// defaults are the control's values at creation.
TEST(KeypadSettingTable, EachRowReadsAndWritesItsOwnProperty)
{
    TKivra k;
    k.SetKivraModel(rstKivraModel::mKivraSol); // settings are stored only for the newer base
    EXPECT_EQ(ReadKeypadSettings(k), TKeypadSettings{});
    for (const TKeypadSettingRow& row : KeypadSettingTable()) {
        SCOPED_TRACE(row.Property);
        for (int value = 0; value < static_cast<int>(row.ValueNames.size()); ++value) {
            std::vector<int> expected = Values(k);
            expected[static_cast<std::size_t>(row.Setting)] = value;
            row.Set(k, value);
            EXPECT_EQ(Values(k), expected);
            const TKeypadSettings read = ReadKeypadSettings(k);
            EXPECT_EQ(row.Read(read), value);
            TKeypadSettings written;
            row.Write(written, value);
            EXPECT_EQ(row.Read(written), value);
        }
    }
}

TEST(KeypadSettingTable, ValueNamesBothWays)
{
    const struct {
        const char* Option;
        const char* Text;
        int Value; // -1: no value of that setting
    } cases[] = {
        {"star", "on", 1},      {"star", "OFF", 0},      {"star", "yes", 1},    {"star", "False", 0},
        {"star", "1", 1},       {"star", "maybe", -1},   {"star", "", -1},      {"mode", "base", 1},
        {"mode", "Manual", 0},  {"mode", "on", -1},      {"mode", "1", -1},     {"power", "low", 0},
        {"power", "LowMid", 1}, {"power", "midhigh", 2}, {"power", "high", 3},  {"power", "medium", -1},
        {"power", "on", -1},    {"echo", "true", 1},     {"softkeys", "no", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Option) + " " + c.Text);
        const TKeypadSettingRow* row = FindKeypadSetting(c.Option);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(ParseSettingValue(*row, c.Text), c.Value);
    }
    EXPECT_EQ(SettingValueText(*FindKeypadSetting("power"), 1), "lowmid");
    EXPECT_EQ(SettingValueText(*FindKeypadSetting("mode"), 1), "base");
    EXPECT_EQ(SettingValueText(*FindKeypadSetting("star"), 0), "off");
    EXPECT_EQ(SettingValueText(*FindKeypadSetting("star"), 2), "?");
    EXPECT_EQ(SettingValueText(*FindKeypadSetting("power"), -1), "?");
}

// Only the settings named are written, in the order named: each write of a setting in manual
// mode leaves its reminder.
TEST(KeypadSettingTable, WritesTheNamedSettingsInTheirOrder)
{
    TKivra k;
    k.SetKivraModel(rstKivraModel::mKivraSol);
    test::EventRecorder rec;
    rec.Attach(k);
    TKeypadSettings wanted;
    wanted.DigitEcho = false;
    wanted.StarKeyEnabled = true;
    wanted.SoftkeysEnabled = true;
    wanted.TransmitPowerLevel = rstKeypadPowerLevel::powLow;
    const TKeypadSetting which[] = {TKeypadSetting::TransmitPowerLevel, TKeypadSetting::StarKeyEnabled};
    WriteKeypadSettings(k, wanted, which);
    EXPECT_TRUE(k.GetKeypadDigitEcho()); // not named: unchanged
    EXPECT_FALSE(k.GetKeypadSoftkeysEnabled());
    EXPECT_TRUE(k.GetKeypadStarKeyEnabled());
    EXPECT_EQ(k.GetKeypadTransmitPowerLevel(), rstKeypadPowerLevel::powLow);
    std::vector<std::string> reminders;
    for (const std::string& d : rec.Debug)
        if (d.starts_with("Reminder: "))
            reminders.push_back(d.substr(10, d.find(' ', 10) - 10));
    EXPECT_EQ(reminders, (std::vector<std::string>{"KeypadTransmitPowerLevel", "KeypadStarKeyEnabled"}));
}

} // namespace
} // namespace kivra
