// Keypad settings, the base status decoding, key names and the base requests, without a base.

#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/support/EventRecorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kivra {
namespace {

using ::testing::ElementsAre;

const std::string kNotConnected = "UpdateKeypadSettings - must be connected to update keypad settings.";
const std::string kBadKey =
    "Key value must be a numeric character between \"0\" and \"9\" or the \"*\" character.";

std::string ReminderFor(const std::string& name)
{
    return "Reminder: " + name +
           " setting does not affect keypad configuration while KeypadConfigurationMode is set to "
           "\"Manual\". "
           "Change KeypadConfigurationMode to \"Base\" to enable changing of keypad settings.";
}

//! One keypad setting: how to write it with a value other than its value at creation, and how to
//! tell whether that write was stored.
struct Setting {
    std::string incompatible; // name in the incompatibility text
    std::string reminder;     // name in the reminder, "" for none
    std::function<void(TKivra&)> write;
    std::function<bool(const TKivra&)> changed;
};

std::vector<Setting> Settings()
{
    using M = rstKeypadConfigurationMode;
    using P = rstKeypadPowerLevel;
    return {
        {"KeypadDigitEcho", "KeypadDigitEcho", [](TKivra& k) { k.SetKeypadDigitEcho(false); },
         [](const TKivra& k) { return !k.GetKeypadDigitEcho(); }},
        {"KeypadStarKeyEnabled", "KeypadStarKeyEnabled", [](TKivra& k) { k.SetKeypadStarKeyEnabled(true); },
         [](const TKivra& k) { return k.GetKeypadStarKeyEnabled(); }},
        {"KeypadLowBattery", "KeypadLowBatteryNotification",
         [](TKivra& k) { k.SetKeypadLowBatteryNotification(true); },
         [](const TKivra& k) { return k.GetKeypadLowBatteryNotification(); }},
        {"KeypadPostAcknowledgement", "KeypadPostAcknowlegement",
         [](TKivra& k) { k.SetKeypadPostAcknowledgement(true); },
         [](const TKivra& k) { return k.GetKeypadPostAcknowledgement(); }},
        {"KeypadOnlyAcceptInitialResponse", "KeypadOnlyAcceptInitialResponse",
         [](TKivra& k) { k.SetKeypadOnlyAcceptInitialResponse(true); },
         [](const TKivra& k) { return k.GetKeypadOnlyAcceptInitialResponse(); }},
        {"KeypadConfigurationMode", "", [](TKivra& k) { k.SetKeypadConfigurationMode(M::kpcBase); },
         [](const TKivra& k) { return k.GetKeypadConfigurationMode() == M::kpcBase; }},
        {"KeypadAddressChannelShortcutsEnabled", "KeypadAddressChannelShortcutsEnabled",
         [](TKivra& k) { k.SetKeypadAddressChannelShortcutsEnabled(true); },
         [](const TKivra& k) { return k.GetKeypadAddressChannelShortcutsEnabled(); }},
        {"KeypadGlobalConfigurationLock", "", [](TKivra& k) { k.SetKeypadGlobalConfigurationLock(true); },
         [](const TKivra& k) { return k.GetKeypadGlobalConfigurationLock(); }},
        {"KeypadSoftkeysEnabled", "KeypadSoftkeysEnabled",
         [](TKivra& k) { k.SetKeypadSoftkeysEnabled(true); },
         [](const TKivra& k) { return k.GetKeypadSoftkeysEnabled(); }},
        {"KeypadTransmitPowerLevel", "KeypadTransmitPowerLevel",
         [](TKivra& k) { k.SetKeypadTransmitPowerLevel(P::powLowMid); },
         [](const TKivra& k) { return k.GetKeypadTransmitPowerLevel() == P::powLowMid; }},
    };
}

TEST(KeypadSettings, OtherModelsRefuseWithADebugTextOnly)
{
    for (const rstKivraModel model :
         {rstKivraModel::mNone, rstKivraModel::mKivra, rstKivraModel::mKivraEv, rstKivraModel::mAutoDetect}) {
        for (const Setting& s : Settings()) {
            SCOPED_TRACE(s.incompatible);
            TKivra kivra;
            kivra.SetErrorExceptionsEnabled(false);
            if (model != rstKivraModel::mNone)
                kivra.SetKivraModel(model);
            test::EventRecorder rec;
            rec.Attach(kivra);
            s.write(kivra);
            EXPECT_THAT(rec.Debug, ElementsAre(s.incompatible +
                                               " is not compatible with this model of Kivra hardware."));
            EXPECT_TRUE(rec.Errors.empty());
            EXPECT_FALSE(s.changed(kivra));
        }
    }
}

TEST(KeypadSettings, WhileDisconnectedTheyAreStoredButNotSent)
{
    for (const Setting& s : Settings()) {
        SCOPED_TRACE(s.incompatible);
        TKivra kivra;
        kivra.SetKivraModel(rstKivraModel::mKivraSol);
        test::EventRecorder rec;
        rec.Attach(kivra);
        s.write(kivra);
        EXPECT_TRUE(s.changed(kivra));
        EXPECT_TRUE(rec.Errors.empty());
        std::vector<std::string> expected;
        if (!s.reminder.empty())
            expected.push_back(ReminderFor(s.reminder));
        if (s.incompatible == "KeypadGlobalConfigurationLock")
            expected.emplace_back(
                "** KeypadGlobalConfigurationLock prevents Manual and Base keypad configuration "
                "changes, regardless of KeypadConfigurationMode.");
        expected.push_back(kNotConnected);
        EXPECT_EQ(rec.Debug, expected);
    }
}

TEST(KeypadSettings, NoReminderInBaseModeAndNoLockNoteWhenUnlocking)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraSol);
    kivra.SetKeypadConfigurationMode(rstKeypadConfigurationMode::kpcBase);
    kivra.SetKeypadGlobalConfigurationLock(true);
    test::EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetKeypadSoftkeysEnabled(true);
    kivra.SetKeypadGlobalConfigurationLock(false);
    EXPECT_THAT(rec.Debug, ElementsAre(kNotConnected, kNotConnected));
    EXPECT_FALSE(kivra.GetKeypadGlobalConfigurationLock());
}

//! The ten settings as the C and D bytes would carry them, decoded bit by bit.
struct Decoded {
    bool base, onlyInitial, postAck, lowBattery, star, echo;
    rstKeypadPowerLevel power;
    bool softkeys, lock, shortcuts;
    bool operator==(const Decoded&) const = default;
};

Decoded Read(const TKivra& k)
{
    return {k.GetKeypadConfigurationMode() == rstKeypadConfigurationMode::kpcBase,
            k.GetKeypadOnlyAcceptInitialResponse(),
            k.GetKeypadPostAcknowledgement(),
            k.GetKeypadLowBatteryNotification(),
            k.GetKeypadStarKeyEnabled(),
            k.GetKeypadDigitEcho(),
            k.GetKeypadTransmitPowerLevel(),
            k.GetKeypadSoftkeysEnabled(),
            k.GetKeypadGlobalConfigurationLock(),
            k.GetKeypadAddressChannelShortcutsEnabled()};
}

std::string Status(int c, int d)
{
    return std::string("STATUS:C") + static_cast<char>(c) + "D" + static_cast<char>(d);
}

TEST(BaseStatus, DecodesEveryByteTheSettingsCanProduce)
{
    // C: bit 7 mode, bits 4..0 the five flags (bits 6 and 5 always 0). D: bits 7-6 power, bits 2..0.
    TKivra kivra;
    for (int c = 0; c < 256; ++c) {
        if (c & 0x60)
            continue;
        for (int d = 0; d < 256; ++d) {
            if (d & 0x38)
                continue;
            kivra.ParseBaseStatus(Status(c, d));
            const Decoded got = Read(kivra);
            SCOPED_TRACE("C=" + std::to_string(c) + " D=" + std::to_string(d));
            ASSERT_EQ(got.base, (c & 0x80) != 0);
            ASSERT_EQ(got.onlyInitial, (c & 0x10) != 0);
            ASSERT_EQ(got.postAck, (c & 0x08) != 0);
            ASSERT_EQ(got.lowBattery, (c & 0x04) != 0);
            ASSERT_EQ(got.star, (c & 0x02) != 0);
            ASSERT_EQ(got.echo, (c & 0x01) == 0);
            ASSERT_EQ(static_cast<int>(got.power), d >> 6);
            ASSERT_EQ(got.softkeys, (d & 0x04) != 0);
            ASSERT_EQ(got.lock, (d & 0x02) != 0);
            ASSERT_EQ(got.shortcuts, (d & 0x01) != 0);
        }
    }
}

TEST(BaseStatus, DebugTextsAndOddMessages)
{
    TKivra kivra;
    test::EventRecorder rec;
    rec.Attach(kivra);
    const std::string message = Status(0x9F, 0x47);
    kivra.ParseBaseStatus(message);
    EXPECT_THAT(rec.Debug, ElementsAre("ParsingBaseStatus: " + message, "C Settings=\"10011111\"",
                                       "D Settings=\"01000111\""));
    EXPECT_EQ(kivra.GetKeypadTransmitPowerLevel(), rstKeypadPowerLevel::powLowMid);
    EXPECT_FALSE(kivra.GetKeypadDigitEcho());

    // A "C" or "D" at the very end gives a byte of 0.
    kivra.ParseBaseStatus("STATUS:D\x01"
                          "C");
    EXPECT_TRUE(kivra.GetKeypadDigitEcho());
    EXPECT_EQ(kivra.GetKeypadConfigurationMode(), rstKeypadConfigurationMode::kpcManual);
    EXPECT_TRUE(kivra.GetKeypadAddressChannelShortcutsEnabled());
    EXPECT_EQ(kivra.GetKeypadTransmitPowerLevel(), rstKeypadPowerLevel::powLow);

    // Without both "C" and "D" a status carries no settings and changes none (decoding the first
    // byte instead would, and the next write would push them to the keypads).
    kivra.ParseBaseStatus(Status(0x9F, 0x47));
    const Decoded before = Read(kivra);
    const std::string noC = std::string("STATUS:\x01") + "D" + std::string(1, '\0');
    for (const std::string& odd : {std::string("STATUS:"), std::string(), std::string("STATUS:C\x80"), noC}) {
        SCOPED_TRACE(odd);
        rec.Clear();
        kivra.ParseBaseStatus(odd);
        EXPECT_THAT(rec.Debug, ElementsAre("ParsingBaseStatus: " + odd,
                                           "Base status holds no keypad settings - settings left unchanged"));
        EXPECT_EQ(Read(kivra), before);
    }
}

TEST(BaseStatus, ReachedThroughTheMessageDispatch)
{
    TKivra kivra;
    kivra.DispatchBaseMessage(Status(0x80, 0x84));
    EXPECT_EQ(kivra.GetKeypadConfigurationMode(), rstKeypadConfigurationMode::kpcBase);
    EXPECT_EQ(kivra.GetKeypadTransmitPowerLevel(), rstKeypadPowerLevel::powMidHigh);
    EXPECT_TRUE(kivra.GetKeypadSoftkeysEnabled());
    EXPECT_TRUE(kivra.GetKeypadDigitEcho());
}

TEST(KeyLocks, NamesOutsideTheKeypadReportMinusFourAndTouchNothing)
{
    TKivra kivra;
    test::EventRecorder rec;
    rec.Attach(kivra);
    for (const std::string& key : std::vector<std::string>{"12", "", "a", "-1", "10", "**", " 3", "3 ", "0x1",
                                                           std::string("1\0", 2)}) {
        SCOPED_TRACE(key);
        kivra.SetErrorExceptionsEnabled(true);
        rec.Clear();
        EXPECT_THROW(kivra.LockKey(key), Exception);
        EXPECT_THROW(kivra.UnlockKey(key), Exception);
        EXPECT_THROW(kivra.IsKeyLocked(key), Exception);
        kivra.SetErrorExceptionsEnabled(false);
        kivra.LockKey(key);
        EXPECT_FALSE(kivra.IsKeyLocked(key));
        ASSERT_EQ(rec.Errors.size(), 5U);
        for (const auto& error : rec.Errors)
            EXPECT_EQ(error, std::make_pair(-4, kBadKey));
    }
    for (const char* key : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "*"})
        EXPECT_FALSE(kivra.IsKeyLocked(key)) << key;
}

TEST(KeyLocks, TheWantedSetChangesWhileDisconnected)
{
    TKivra kivra;
    kivra.LockKey("3");
    kivra.LockKey("*");
    kivra.LockKey("03"); // a decimal text naming the same key
    EXPECT_TRUE(kivra.IsKeyLocked("3"));
    EXPECT_TRUE(kivra.IsKeyLocked("*"));
    EXPECT_FALSE(kivra.IsKeyLocked("4"));
    kivra.UnlockKey("3");
    kivra.UnlockKey("3");
    EXPECT_FALSE(kivra.IsKeyLocked("3"));
    EXPECT_TRUE(kivra.IsKeyLocked("*"));
    EXPECT_EQ(kivra.GetLastErrorCode(), 0);
}

TEST(BaseRequests, NeedAConnectionAndSendNothing)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraSol);
    test::EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetErrorExceptionsEnabled(false);
    kivra.RequestBaseVersionInfo();
    kivra.RequestBaseStatus();
    kivra.RequestBaseChannel();
    kivra.RequestBaseSerialNumber();
    kivra.SetBaseChannel(5);
    kivra.SetBaseChannel(99); // the connection is checked before the range
    const auto e = [](const char* text) { return std::make_pair(-2, std::string(text)); };
    EXPECT_THAT(rec.Errors, ElementsAre(e("You must be connected to read base properties."),
                                        e("You must be connected to request base status."),
                                        e("You must be connected to read the base channel."),
                                        e("You must be connected to read base properties."),
                                        e("Must be connected to base to change BaseChannel property."),
                                        e("Must be connected to base to change BaseChannel property.")));
    // No layer was ever created: nothing was handed on for sending.
    for (const auto& d : rec.Debug)
        EXPECT_EQ(d.find("Attempting to Send"), std::string::npos) << d;
    EXPECT_EQ(kivra.GetBaseChannel(), -1);
}

TEST(BaseRequests, ChannelChangeIsIgnoredOnOtherModels)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivra);
    test::EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetBaseChannel(5);
    kivra.SetBaseChannel(0);
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_TRUE(rec.Debug.empty());
    EXPECT_EQ(kivra.GetLastErrorCode(), 0);
}

} // namespace
} // namespace kivra
