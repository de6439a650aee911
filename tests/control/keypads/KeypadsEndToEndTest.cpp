// The keypad list, settings, key locks, channel and keypad answers against a simulated base over a
// real pseudo-terminal: what reaches the wire and what comes back as events.

#include "basesim/BaseSimulator.h"
#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/Simulator.h"
#include "tests/support/TestSupport.h"

#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace kivra {
namespace {

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using Strings = std::vector<std::string>;

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

class KeypadsEndToEnd : public ::testing::Test {
protected:
    void TearDown() override
    {
        kivra.reset();
        if (sim)
            sim->Stop();
    }

    //! Starts a base on COM1 and connects a control to it (the model is detected).
    void Connect(basesim::SimConfig config = {})
    {
        sim = test::StartSimulator(std::move(config), 1);
        kivra = std::make_unique<TKivra>();
        kivra->SetPauseFunction([](int ms) { test::ProcessEventsFor(std::chrono::milliseconds(ms)); });
        rec.Attach(*kivra);
        kivra->SetKivraModel(rstKivraModel::mAutoDetect);
        kivra->SetSerialPort(1);
        ASSERT_TRUE(kivra->Connect()) << kivra->GetLastErrorMessage();
        ASSERT_EQ(kivra->GetKivraModel(), rstKivraModel::mKivraSol);
        atConnect = ConnectCommands();
    }

    //! What the last Connect wrote, once its final StopPolling (XOFF) arrived; clears the log.
    Strings ConnectCommands()
    {
        Strings commands;
        EXPECT_TRUE(test::WaitUntil([&] {
            commands = sim->Commands();
            return std::find(commands.begin(), commands.end(), "\x13") != commands.end();
        }));
        sim->ClearHostLog();
        return commands;
    }

    //! Commands the control wrote since the last call, pings left out. A base channel request
    //! goes last as a fence: once it arrived, everything written before it has arrived too.
    Strings Sent()
    {
        kivra->RequestBaseChannel();
        const auto pings = [](const Strings& all) {
            Strings rest;
            std::copy_if(all.begin(), all.end(), std::back_inserter(rest),
                         [](const auto& c) { return c != "XX"; });
            return rest;
        };
        Strings commands;
        test::WaitUntil([&] {
            commands = pings(sim->Commands());
            return !commands.empty() && commands.back() == "BR";
        });
        sim->ClearHostLog();
        EXPECT_FALSE(commands.empty()) << "fence never arrived";
        if (!commands.empty())
            commands.pop_back();
        return commands;
    }

    std::unique_ptr<basesim::BaseSimulator> sim;
    std::unique_ptr<TKivra> kivra;
    test::EventRecorder rec;
    Strings atConnect;
};

TEST_F(KeypadsEndToEnd, ScanRangeFollowsKeypadsAddedWhileConnected)
{
    Connect();
    // Connect sent the range of the full list, then the key locks (nothing locked).
    EXPECT_THAT(atConnect, Contains("GE"));
    EXPECT_THAT(atConnect, Contains("K0"));
    EXPECT_THAT(atConnect, Contains("PS"));

    kivra->ClearKeypadList();
    kivra->RemoveKeypad("1-10");
    EXPECT_THAT(Sent(), IsEmpty()); // removing never sends

    kivra->AddKeypad(120, 1);
    EXPECT_THAT(Sent(), ElementsAre("SC"));
    EXPECT_TRUE(test::WaitUntil([&] { return sim->ActiveGroups() == "C"; })) << sim->ActiveGroups();

    kivra->AddKeypad("1-10,20-30"); // one command per element
    EXPECT_THAT(Sent(), ElementsAre("GC", "GC"));

    kivra->AddKeypad("");
    EXPECT_THROW(kivra->AddKeypad("1,2,300"), Exception);
    EXPECT_THAT(Sent(), IsEmpty());

    kivra->AddKeypad(201, 50);
    EXPECT_THAT(Sent(), ElementsAre("GE"));
    EXPECT_TRUE(rec.HasDebug("Attempting to Send: DetermineOptimalScanningRange()"));

    kivra->ClearKeypadList();
    kivra->DetermineOptimalScanningRange();
    EXPECT_THAT(Sent(), ElementsAre("GA"));
}

TEST_F(KeypadsEndToEnd, SettingsReachTheBaseAsRawBytesAndComeBack)
{
    Connect();
    EXPECT_EQ(sim->SettingsC(), 0x00);

    // Manual mode: the reminder, and the C byte 0x00 still goes out as a byte.
    rec.Clear();
    kivra->SetKeypadDigitEcho(true);
    EXPECT_THAT(Sent(), ElementsAre(Bytes({'C', 0x00}), Bytes({'D', 0xC0})));
    EXPECT_TRUE(rec.HasDebug("Reminder: KeypadDigitEcho setting does not affect keypad configuration while "
                             "KeypadConfigurationMode is "
                             "set to \"Manual\". Change KeypadConfigurationMode to \"Base\" to enable "
                             "changing of keypad settings."));
    EXPECT_TRUE(rec.HasDebug("Attempting to Send: UpdateKeypadSettings(): \"C" + Bytes({0}) + "\" (0)"));
    EXPECT_TRUE(rec.HasDebug("preconversion:\"11000000\""));

    rec.Clear();
    kivra->SetKeypadConfigurationMode(rstKeypadConfigurationMode::kpcBase);
    EXPECT_THAT(Sent(), ElementsAre(Bytes({'C', 0x80}), Bytes({'D', 0xC0})));
    EXPECT_TRUE(rec.HasDebug("Attempting to Send: UpdateKeypadSettings(): \"C\x80\" (128)"));
    for (const auto& d : rec.Debug)
        EXPECT_FALSE(d.starts_with("Reminder")) << d;

    // Each setting on its own bit, from base mode with everything else at its value at creation.
    using P = rstKeypadPowerLevel;
    struct Row {
        const char* name;
        std::function<void(bool)> set; // true: the value under test, false: back to the start
        int c, d;
    };
    TKivra& k = *kivra;
    const std::vector<Row> rows = {
        {"echo off", [&](bool on) { k.SetKeypadDigitEcho(!on); }, 0x81, 0xC0},
        {"star key", [&](bool on) { k.SetKeypadStarKeyEnabled(on); }, 0x82, 0xC0},
        {"low battery", [&](bool on) { k.SetKeypadLowBatteryNotification(on); }, 0x84, 0xC0},
        {"post ack", [&](bool on) { k.SetKeypadPostAcknowledgement(on); }, 0x88, 0xC0},
        {"first answer", [&](bool on) { k.SetKeypadOnlyAcceptInitialResponse(on); }, 0x90, 0xC0},
        {"shortcuts", [&](bool on) { k.SetKeypadAddressChannelShortcutsEnabled(on); }, 0x80, 0xC1},
        {"lock", [&](bool on) { k.SetKeypadGlobalConfigurationLock(on); }, 0x80, 0xC2},
        {"soft keys", [&](bool on) { k.SetKeypadSoftkeysEnabled(on); }, 0x80, 0xC4},
        {"power low", [&](bool on) { k.SetKeypadTransmitPowerLevel(on ? P::powLow : P::powHigh); }, 0x80,
         0x00},
        {"power low-mid", [&](bool on) { k.SetKeypadTransmitPowerLevel(on ? P::powLowMid : P::powHigh); },
         0x80, 0x40},
        {"power mid-high", [&](bool on) { k.SetKeypadTransmitPowerLevel(on ? P::powMidHigh : P::powHigh); },
         0x80, 0x80},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.set(true);
        EXPECT_THAT(Sent(), ElementsAre(Bytes({'C', row.c}), Bytes({'D', row.d})));
        EXPECT_EQ(sim->SettingsC(), row.c);
        EXPECT_EQ(sim->SettingsD(), row.d);
        row.set(false);
        EXPECT_THAT(Sent(), ElementsAre(Bytes({'C', 0x80}), Bytes({'D', 0xC0})));
    }

    // Everything on: C 0x9F, D 0x47 with the lower middle power.
    for (const Row& row : rows)
        if (std::string(row.name).rfind("power", 0) != 0)
            row.set(true);
    k.SetKeypadTransmitPowerLevel(P::powLowMid);
    Sent();
    EXPECT_EQ(sim->SettingsC(), 0x9F);
    EXPECT_EQ(sim->SettingsD(), 0x47);

    // Forget them locally, then read them back from the base's status.
    k.ParseBaseStatus(std::string("STATUS:C") + '\0' + "D\xC0");
    ASSERT_TRUE(k.GetKeypadDigitEcho());
    k.RequestBaseStatus();
    ASSERT_TRUE(test::WaitUntil([&] { return !k.GetKeypadDigitEcho(); }));
    EXPECT_EQ(k.GetKeypadConfigurationMode(), rstKeypadConfigurationMode::kpcBase);
    EXPECT_TRUE(k.GetKeypadStarKeyEnabled());
    EXPECT_TRUE(k.GetKeypadLowBatteryNotification());
    EXPECT_TRUE(k.GetKeypadPostAcknowledgement());
    EXPECT_TRUE(k.GetKeypadOnlyAcceptInitialResponse());
    EXPECT_EQ(k.GetKeypadTransmitPowerLevel(), P::powLowMid);
    EXPECT_TRUE(k.GetKeypadSoftkeysEnabled());
    EXPECT_TRUE(k.GetKeypadGlobalConfigurationLock());
    EXPECT_TRUE(k.GetKeypadAddressChannelShortcutsEnabled());
}

TEST_F(KeypadsEndToEnd, KeyLocksSendTheirSequencesAndSurviveAReconnect)
{
    Connect();
    EXPECT_THAT(atConnect, Contains("K0"));

    kivra->LockKey("3");
    EXPECT_THAT(Sent(), ElementsAre("L3"));
    kivra->LockKey("*");
    EXPECT_THAT(Sent(), ElementsAre("L3", "L:"));
    EXPECT_TRUE(rec.HasDebug("Attempting to Send: ApplyKeyLocks() - Lock \"3\" Key"));
    EXPECT_TRUE(rec.HasDebug("Attempting to Send: ApplyKeyLocks() - Lock \"*\" key"));
    kivra->UnlockKey("3");
    EXPECT_THAT(Sent(), ElementsAre("K0", "L:"));
    // Unlocking "*" while a digit stays locked must clear the base's locks and set the digit again.
    kivra->LockKey("8");
    EXPECT_THAT(Sent(), ElementsAre("L8", "L:"));
    kivra->UnlockKey("*");
    EXPECT_THAT(Sent(), ElementsAre("K0", "L8"));
    EXPECT_TRUE(test::WaitUntil([&] { return !sim->KeyLocked('*') && sim->KeyLocked('8'); }));
    kivra->UnlockKey("8");
    EXPECT_THAT(Sent(), ElementsAre("K0"));

    for (char d = '0'; d <= '8'; ++d)
        kivra->LockKey(std::string(1, d));
    Sent();
    kivra->LockKey("9");
    EXPECT_THAT(Sent(), ElementsAre("KX"));
    kivra->LockKey("*");
    EXPECT_THAT(Sent(), ElementsAre("KX", "L:"));
    kivra->LockKey("9"); // locking again sends again
    EXPECT_THAT(Sent(), ElementsAre("KX", "L:"));

    kivra->SetErrorExceptionsEnabled(false);
    kivra->LockKey("12");
    EXPECT_EQ(kivra->GetLastErrorCode(), -4);
    EXPECT_THAT(Sent(), IsEmpty());

    // Changed while disconnected: nothing goes out until the next Connect.
    kivra->Disconnect(false);
    for (const char* key : {"0", "1", "2", "3", "4", "6", "7", "8", "9", "*"})
        kivra->UnlockKey(key);
    EXPECT_TRUE(kivra->IsKeyLocked("5"));
    sim->ClearHostLog();
    ASSERT_TRUE(kivra->Connect()) << kivra->GetLastErrorMessage();
    const Strings commands = ConnectCommands();
    const auto k0 = std::find(commands.begin(), commands.end(), "K0");
    ASSERT_NE(k0, commands.end());
    ASSERT_NE(k0 + 1, commands.end());
    EXPECT_EQ(*(k0 + 1), "L5");
    EXPECT_TRUE(test::WaitUntil([&] { return sim->KeyLocked('5') && !sim->KeyLocked('4'); }));
}

TEST_F(KeypadsEndToEnd, BaseChannelAndBaseRequests)
{
    Connect();
    EXPECT_EQ(kivra->GetBaseChannel(), 7);
    EXPECT_EQ(kivra->GetBaseSerialNumber(), "104523");

    kivra->SetBaseChannel(12);
    EXPECT_THAT(Sent(), ElementsAre("BC"));
    EXPECT_TRUE(rec.HasDebug("Attempting to Send: SetBaseChannel(12)"));
    EXPECT_EQ(sim->Channel(), 12);
    // The fence asked for the channel: the field follows the base's answer.
    EXPECT_TRUE(test::WaitUntil([&] { return kivra->GetBaseChannel() == 12; }));

    kivra->SetBaseChannel(9);
    kivra->SetBaseChannel(15);
    kivra->SetBaseChannel(1);
    EXPECT_THAT(Sent(), ElementsAre("B9", "BF", "B1"));

    kivra->SetErrorExceptionsEnabled(false);
    rec.Clear();
    kivra->SetBaseChannel(0);
    kivra->SetBaseChannel(16);
    EXPECT_THAT(Sent(), IsEmpty());
    ASSERT_EQ(rec.Errors.size(), 2U);
    EXPECT_EQ(rec.Errors[0], std::make_pair(-4, std::string("BaseChannel value must be between 1 and 15.")));
    EXPECT_EQ(rec.Errors[1], rec.Errors[0]);

    kivra->RequestBaseVersionInfo();
    kivra->RequestBaseStatus();
    kivra->RequestBaseSerialNumber();
    EXPECT_THAT(Sent(), ElementsAre("WV", "WS", "WN"));
    EXPECT_EQ(kivra->GetBaseVersion().substr(0, 6), "QTB420");
}

TEST_F(KeypadsEndToEnd, PollingRaisesEventsForListedKeypadsOnly)
{
    basesim::SimConfig config;
    config.SettingsC = 0x86; // base mode, low-battery warnings and the star key on
    config.SettingsD = 0xC4; // soft keys on
    Connect(config);
    std::vector<std::pair<int, int>> digits;
    std::vector<std::pair<int, std::string>> softkeys;
    std::vector<int> lowBattery;
    std::vector<int> notifications;
    kivra->SetOnKeypadDataReceived([&](int id, int value) { digits.emplace_back(id, value); });
    kivra->SetOnSoftkeyDataReceived([&](int id, std::string key) { softkeys.emplace_back(id, key); });
    kivra->SetOnLowBatteryWarning([&](int id) { lowBattery.push_back(id); });
    kivra->SetOnKeypadNotification([&](int id) { notifications.push_back(id); });

    kivra->ClearKeypadList();
    kivra->AddKeypad("1-10,51-60"); // groups A and B
    kivra->StartPolling();
    ASSERT_TRUE(kivra->GetPolling());
    ASSERT_TRUE(test::WaitUntil([&] { return sim->Streaming(); }));

    sim->Press(53, '7');
    sim->Press(5, '0');
    sim->SoftKey(2, '<');
    sim->SoftKey(58, '>');
    sim->LowBattery(3);
    sim->Notify(51);
    // Not listed, though in a streamed group.
    sim->Press(100, '3');
    sim->SoftKey(99, '=');
    sim->LowBattery(61);
    sim->Notify(11);

    const auto all = [&] {
        return digits.size() + softkeys.size() + lowBattery.size() + notifications.size();
    };
    ASSERT_TRUE(test::WaitUntil([&] { return sim->AnswersSent() >= 10 && all() >= 6; }, 10s))
        << "answers sent " << sim->AnswersSent() << ", events " << all();
    test::ProcessEventsFor(1200ms); // two more pump ticks: nothing else may follow
    EXPECT_THAT(digits, UnorderedElementsAre(std::make_pair(53, 7), std::make_pair(5, 0)));
    EXPECT_THAT(softkeys, UnorderedElementsAre(std::make_pair(2, std::string("<")),
                                               std::make_pair(58, std::string(">"))));
    EXPECT_THAT(lowBattery, ElementsAre(3));
    EXPECT_THAT(notifications, ElementsAre(51));

    // Packets handed over as the pump does, while really polling: keypad order within a packet,
    // listed keypads only, and unknown bytes reported for listed and unlisted keypads alike.
    kivra->SetErrorExceptionsEnabled(false);
    rec.Clear();
    digits.clear();
    softkeys.clear();
    lowBattery.clear();
    notifications.clear();
    std::string packet = "B" + std::string(53, '-');
    packet[1] = '=';                            // keypad 51
    packet[3] = '7';                            // 53
    packet[4] = 'x';                            // 54: unknown
    packet[20] = '5';                           // 70: not listed
    packet[22] = 'y';                           // 72: unknown, not listed
    packet[50] = '?';                           // 100: not listed
    packet[8] = ':';                            // 58
    packet[2] = '2';                            // 52
    packet[51] = packet[52] = packet[53] = 'z'; // not state bytes
    kivra->DispatchBaseMessage(packet);
    EXPECT_THAT(digits, ElementsAre(std::make_pair(52, 2), std::make_pair(53, 7)));
    EXPECT_THAT(softkeys, ElementsAre(std::make_pair(51, std::string("="))));
    EXPECT_THAT(notifications, ElementsAre(58));
    EXPECT_THAT(lowBattery, IsEmpty());
    EXPECT_THAT(rec.Errors,
                ElementsAre(std::make_pair(-5, std::string("Unrecognized data returned for keypad 54 (x)")),
                            std::make_pair(-5, std::string("Unrecognized data returned for keypad 72 (y)"))));

    // With exceptions on, the first report ends the packet.
    kivra->SetErrorExceptionsEnabled(true);
    digits.clear();
    packet = "A" + std::string(53, '-');
    packet[1] = '4';
    packet[2] = '\xFF';
    packet[5] = '9';
    EXPECT_THROW(kivra->DispatchBaseMessage(packet), Exception);
    EXPECT_EQ(kivra->GetLastErrorMessage(), "Unrecognized data returned for keypad 2 (\xFF)");
    EXPECT_THAT(digits, ElementsAre(std::make_pair(1, 4)));

    // Stopped: later answers raise nothing.
    kivra->StopPolling();
    digits.clear();
    sim->Press(53, '1');
    test::ProcessEventsFor(1200ms);
    EXPECT_THAT(digits, IsEmpty());
}

TEST_F(KeypadsEndToEnd, SerialNumberAndTimestampListsArriveAsEvents)
{
    basesim::SimConfig config;
    config.Keypads = {{7, {0x0A, 0xBC, 0x01}, 3, 1, 2},
                      {8, {0x12, 0x34, 0x56}, 1, 0, 7},
                      {200, {0xFF, 0x00, 0x9E}, 0, 7, 7}};
    Connect(config);
    using Serial = std::tuple<int, std::string, std::string, int, bool>;
    using Stamp = std::tuple<int, int, int, std::string, int, bool>;
    std::vector<Serial> serials;
    std::vector<Stamp> stamps;
    kivra->SetOnKeypadSerialNumber([&](int id, std::string sn, std::string version, int battery, bool end) {
        serials.emplace_back(id, sn, version, battery, end);
    });
    kivra->SetOnKeypadTimestamp(
        [&](int id, int question, int ms, std::string version, int battery, bool end) {
            stamps.emplace_back(id, question, ms, version, battery, end);
        });
    kivra->SetErrorExceptionsEnabled(false);

    // Connect left the keypads in serial-number mode.
    kivra->RequestKeypadTimestamps();
    EXPECT_EQ(kivra->GetLastErrorCode(), -4);
    EXPECT_EQ(kivra->GetLastErrorMessage(), "RequestKeypadTimestamps cannot be called while in Serial Number "
                                            "mode.\nCall BeginQuestion() to enabled timestamp mode.");
    kivra->RequestKeypadSerialNumbers();
    ASSERT_TRUE(test::WaitUntil([&] { return !serials.empty() && std::get<4>(serials.back()); }, 5s));
    EXPECT_THAT(serials,
                ElementsAre(Serial{7, "0ABC01", "1.2", 3, false}, Serial{8, "123456", "0.7", 1, false},
                            Serial{200, "FF009E", "7.7", 0, true}));

    Sent();
    kivra->BeginQuestion(42);
    EXPECT_THAT(Sent(), ElementsAre("PT"));
    EXPECT_TRUE(sim->TimestampMode());
    kivra->RequestKeypadSerialNumbers();
    EXPECT_EQ(kivra->GetLastErrorMessage(),
              "RequestKeypadSerialNumbers cannot be called while in Timestamp "
              "mode.\nCall CollectKeypadSerialNumbers() to enabled keypad serial "
              "number mode.");

    std::vector<int> answered;
    kivra->SetOnKeypadDataReceived([&](int id, int) { answered.push_back(id); });
    kivra->StartPolling();
    sim->Press(7, '1');
    sim->Press(200, '2');
    ASSERT_TRUE(test::WaitUntil([&] { return answered.size() >= 2; }, 10s));
    kivra->StopPolling();
    kivra->RequestKeypadTimestamps();
    ASSERT_TRUE(test::WaitUntil([&] { return !stamps.empty() && std::get<5>(stamps.back()); }, 5s));
    std::vector<int> ids;
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        const auto& [id, question, ms, version, battery, end] = stamps[i];
        ids.push_back(id);
        EXPECT_EQ(question, 42);
        EXPECT_EQ(ms % 50, 0);
        EXPECT_GE(ms, 0);
        EXPECT_EQ(end, i + 1 == stamps.size());
        if (id == 200) {
            EXPECT_EQ(version, "7.7");
            EXPECT_EQ(battery, 0);
        }
    }
    EXPECT_THAT(ids, Contains(7));
    EXPECT_THAT(ids, Contains(200));

    // Back to serial numbers.
    serials.clear();
    Sent();
    kivra->CollectKeypadSerialNumbers();
    kivra->RequestKeypadSerialNumbers();
    EXPECT_THAT(Sent(), ElementsAre("PS", "PD"));
    ASSERT_TRUE(test::WaitUntil([&] { return serials.size() == 3; }, 5s));
    EXPECT_EQ(std::get<1>(serials[0]), "0ABC01");
}

// A base and a line that lie: list entries holding terminator bytes and markers (keypad 13's serial
// begins 0A FF), random filler behind the states, 1% noise bytes, a status without content and
// units split across writes. No list entry is lost, every answer of an intact packet arrives, no
// answer is credited to a keypad that did not send it.
TEST_F(KeypadsEndToEnd, ALyingBaseLosesNothingAndCreditsNoAnswerWrongly)
{
    basesim::SimConfig config;
    config.Lie.Lists = config.Lie.Filler = config.Lie.EmptyStatus = config.Lie.SplitWrites = true;
    config.Lie.Noise = 0.01;
    config.KeepSentAnswers = true;
    config.SettingsC = 0x9F; // what a status with content would set
    config.SettingsD = 0x47;
    Connect(config);
    kivra->SetErrorExceptionsEnabled(false);
    // The status came without content: the settings are still those of creation.
    EXPECT_TRUE(kivra->GetKeypadDigitEcho());
    EXPECT_EQ(kivra->GetKeypadTransmitPowerLevel(), rstKeypadPowerLevel::powHigh);
    EXPECT_FALSE(kivra->GetKeypadGlobalConfigurationLock());

    std::vector<std::pair<int, std::string>> serials;
    bool ended = false;
    kivra->SetOnKeypadSerialNumber([&](int id, std::string sn, std::string, int, bool end) {
        serials.emplace_back(id, sn);
        ended = end;
    });
    kivra->RequestKeypadSerialNumbers();
    ASSERT_TRUE(test::WaitUntil([&] { return ended; }, 8s));
    std::vector<std::pair<int, std::string>> expected;
    for (const auto& k : basesim::DefaultKeypads(config.Seed, true)) {
        char hex[7];
        std::snprintf(hex, sizeof hex, "%02X%02X%02X", k.Serial[0], k.Serial[1], k.Serial[2]);
        expected.emplace_back(k.Number, hex);
    }
    EXPECT_EQ(serials, expected);
    EXPECT_EQ(serials.at(12).first, 13);
    EXPECT_EQ(serials.at(12).second.substr(0, 4), "0AFF"); // its entry begins 0D 0A FF

    std::multiset<std::pair<int, int>> answers;
    kivra->SetOnKeypadDataReceived([&](int id, int value) { answers.emplace(id, value); });
    kivra->StartPolling();
    int next = 1;
    QTimer presses;
    QObject::connect(&presses, &QTimer::timeout, [&] {
        for (int n = 0; n < 10 && next <= 250; ++n, ++next)
            sim->Press(next, static_cast<char>('0' + next % 10));
    });
    presses.start(100);
    std::multiset<std::pair<int, int>> sent, intact;
    auto collectSent = [&] {
        sent.clear();
        intact.clear();
        for (const auto& a : sim->SentAnswers()) {
            if (a.State < '0' || a.State > '9')
                continue;
            sent.emplace(a.Keypad, a.State - '0');
            if (a.Intact)
                intact.emplace(a.Keypad, a.State - '0');
        }
    };
    // The presses take 2.5 s and go out at line rate; a busy machine may take longer, so wait for
    // the base to have sent them all, then for what it sent intact to be framed.
    const bool allSent = test::WaitUntil(
        [&] {
            collectSent();
            return sent.size() >= 250U;
        },
        30s);
    presses.stop();
    test::WaitUntil(
        [&] {
            return std::all_of(intact.begin(), intact.end(),
                               [&](const auto& a) { return answers.count(a) > 0; });
        },
        10s);
    kivra->StopPolling();
    test::ProcessEventsFor(600ms);
    collectSent();
    ASSERT_TRUE(allSent);
    ASSERT_EQ(sent.size(), 250U);
    EXPECT_GT(intact.size(), 100U); // about one packet in four has a state byte garbled
    for (const auto& a : answers)
        EXPECT_TRUE(sent.count(a) > 0) << "keypad " << a.first << " never sent " << a.second;
    for (const auto& a : intact)
        EXPECT_EQ(answers.count(a), 1U) << "keypad " << a.first << " answer " << a.second;
}

} // namespace
} // namespace kivra
