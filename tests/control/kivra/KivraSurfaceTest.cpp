// The control without a base: values at creation, the model table, property rules, reporting and
// the message dispatch.

#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/support/EventRecorder.h"

#include <gtest/gtest.h>

#include <string>

using kivra::rstKivraModel;
using kivra::TKivra;
using kivra::test::EventRecorder;

namespace {

std::string Packet(char letter, char state = '-')
{
    return std::string(1, letter) + std::string(53, state);
}

} // namespace

TEST(KivraSurface, ValuesAtCreation)
{
    TKivra kivra;
    EXPECT_EQ(kivra.GetKivraModel(), rstKivraModel::mNone);
    EXPECT_EQ(kivra.GetMaxKeypads(), 0);
    EXPECT_EQ(kivra.GetKeypadListCount(), 0);
    EXPECT_EQ(kivra.GetKeypadList(), "");
    EXPECT_EQ(kivra.GetControlVersion(), "6.0.11");
    EXPECT_EQ(kivra.GetCommunicationTimeout(), 3000);
    EXPECT_EQ(kivra.GetSerialPort(), 1);
    EXPECT_FALSE(kivra.GetConnected());
    EXPECT_FALSE(kivra.GetPolling());
    EXPECT_EQ(kivra.GetBaseVersion(), "Not Connected");
    EXPECT_EQ(kivra.GetBaseSerialNumber(), "Not Connected");
    EXPECT_EQ(kivra.GetBaseChannel(), -1);
    EXPECT_TRUE(kivra.GetKeypadDigitEcho());
    EXPECT_FALSE(kivra.GetKeypadStarKeyEnabled());
    EXPECT_FALSE(kivra.GetKeypadLowBatteryNotification());
    EXPECT_FALSE(kivra.GetKeypadPostAcknowledgement());
    EXPECT_FALSE(kivra.GetKeypadOnlyAcceptInitialResponse());
    EXPECT_EQ(kivra.GetKeypadConfigurationMode(), kivra::rstKeypadConfigurationMode::kpcManual);
    EXPECT_FALSE(kivra.GetKeypadAddressChannelShortcutsEnabled());
    EXPECT_FALSE(kivra.GetKeypadGlobalConfigurationLock());
    EXPECT_FALSE(kivra.GetKeypadSoftkeysEnabled());
    EXPECT_EQ(kivra.GetKeypadTransmitPowerLevel(), kivra::rstKeypadPowerLevel::powHigh);
    EXPECT_TRUE(kivra.GetErrorExceptionsEnabled());
    EXPECT_FALSE(kivra.GetErrorEventsEnabled());
    EXPECT_FALSE(kivra.GetDebugEventsEnabled());
    EXPECT_EQ(kivra.GetLastErrorCode(), 0);
    EXPECT_EQ(kivra.GetLastErrorMessage(), "");
    for (const char* key : {"0", "5", "9", "*"}) {
        EXPECT_FALSE(kivra.IsKeyLocked(key)) << key;
    }
}

TEST(KivraSurface, ModelChangeSetsCapacityAndFillsTheKeypadList)
{
    struct Row {
        rstKivraModel model;
        char first, last;
        int groups, capacity;
    };
    const Row rows[] = {
        {rstKivraModel::mKivra, 'A', 'E', 5, 250},      {rstKivraModel::mKivraOv, 'A', 'M', 13, 650},
        {rstKivraModel::mKivraEv, 'P', 'P', 1, 50},     {rstKivraModel::mKivraSol, 'A', 'E', 5, 250},
        {rstKivraModel::mAutoDetect, 'A', 'E', 5, 250},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.model));
        const kivra::TKivraModelInfo& info = kivra::KivraModelInfo(row.model);
        EXPECT_EQ(info.FirstScanGroup, row.first);
        EXPECT_EQ(info.LastScanGroup, row.last);
        EXPECT_EQ(info.ScanGroupCount, row.groups);
        EXPECT_EQ(info.MaxKeypads, row.capacity);

        TKivra kivra;
        kivra.SetKivraModel(row.model);
        EXPECT_EQ(kivra.GetKivraModel(), row.model);
        EXPECT_EQ(kivra.GetMaxKeypads(), row.capacity);
        EXPECT_EQ(kivra.GetKeypadListCount(), row.capacity);
        const std::string list = kivra.GetKeypadList();
        EXPECT_EQ(list.rfind(',') + 1, list.size() - std::to_string(row.capacity).size());
        EXPECT_EQ(list.substr(0, 4), "1,2,");
    }
    EXPECT_EQ(kivra::KivraModelInfo(rstKivraModel::mNone).MaxKeypads, 0);
    EXPECT_EQ(kivra::KivraModelInfo(rstKivraModel::mNone).LastScanGroup, 0);
}

TEST(KivraSurface, ModelChangeRefillsAfterRemovals)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraOv);
    kivra.RemoveKeypad(10, 5);
    ASSERT_EQ(kivra.GetKeypadListCount(), 645);
    // Writing the same model again repeats every step.
    kivra.SetKivraModel(rstKivraModel::mKivraOv);
    EXPECT_EQ(kivra.GetKeypadListCount(), 650);
    kivra.SetKivraModel(rstKivraModel::mKivraEv);
    EXPECT_EQ(kivra.GetMaxKeypads(), 50);
    EXPECT_EQ(kivra.GetKeypadList().substr(0, 6), "1,2,3,");
}

TEST(KivraSurface, ModelNoneFailsInTheKeypadListSteps)
{
    TKivra kivra;
    EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetKivraModel(rstKivraModel::mKivra);
    kivra.SetErrorExceptionsEnabled(false);
    // Clearing reports -4; refilling with a capacity of 0 raises directly.
    try {
        kivra.SetKivraModel(rstKivraModel::mNone);
        ADD_FAILURE() << "no exception";
    } catch (const kivra::Exception& e) {
        EXPECT_STREQ(e.what(), "Keypad number 1 is beyond the bounds of MaxKeypads(0).");
    }
    EXPECT_EQ(kivra.GetKivraModel(), rstKivraModel::mNone);
    EXPECT_EQ(kivra.GetMaxKeypads(), 0);
    ASSERT_EQ(rec.Errors.size(), 1U);
    EXPECT_EQ(rec.Errors[0].first, -4);
    EXPECT_EQ(rec.Errors[0].second, "Keypad number 1 is greater than MaxKeypads(0).");
}

TEST(KivraSurface, CommunicationTimeoutRange)
{
    struct Row {
        int value;
        bool accepted;
    };
    const Row rows[] = {{2000, true},   {15000, true}, {1999, false},
                        {15001, false}, {100, false},  {-1, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        TKivra kivra;
        kivra.SetErrorExceptionsEnabled(false);
        kivra.SetCommunicationTimeout(row.value);
        if (row.accepted) {
            EXPECT_EQ(kivra.GetCommunicationTimeout(), row.value);
            EXPECT_EQ(kivra.GetLastErrorCode(), 0);
        } else {
            EXPECT_EQ(kivra.GetCommunicationTimeout(), 3000);
            EXPECT_EQ(kivra.GetLastErrorCode(), -4);
            EXPECT_EQ(kivra.GetLastErrorMessage(),
                      "CommunicationTimeout is out of range. The valid range is 2000 to 15000 milliseconds");
        }
    }
}

TEST(KivraSurface, SerialPortRange)
{
    struct Row {
        int value;
        bool accepted;
    };
    const Row rows[] = {{1, true}, {16, true}, {9, true}, {0, false}, {17, false}, {-3, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        TKivra kivra;
        EventRecorder rec;
        rec.Attach(kivra);
        kivra.SetErrorExceptionsEnabled(false);
        kivra.SetSerialPort(5);
        rec.Clear();
        kivra.SetSerialPort(row.value);
        if (row.accepted) {
            EXPECT_EQ(kivra.GetSerialPort(), row.value);
            EXPECT_TRUE(rec.Errors.empty());
            EXPECT_TRUE(rec.HasDebug("Serial port set to: " + std::to_string(row.value)));
        } else {
            EXPECT_EQ(kivra.GetSerialPort(), 5);
            ASSERT_EQ(rec.Errors.size(), 1U);
            EXPECT_EQ(rec.Errors[0].first, -4);
            EXPECT_EQ(rec.Errors[0].second,
                      "Serial port " + std::to_string(row.value) + " is out of bounds (1 - 16).");
        }
    }
}

TEST(KivraSurface, ReportingFollowsTheThreeFlags)
{
    const std::string text =
        "CommunicationTimeout is out of range. The valid range is 2000 to 15000 milliseconds";
    for (const bool events : {false, true}) {
        for (const bool exceptions : {false, true}) {
            SCOPED_TRACE(std::to_string(events) + std::to_string(exceptions));
            TKivra kivra;
            int calls = 0;
            std::string seen;
            kivra.SetOnError([&](int code, std::string message) {
                ++calls;
                seen = std::to_string(code) + " " + message;
            });
            kivra.SetErrorEventsEnabled(events);
            kivra.SetErrorExceptionsEnabled(exceptions);
            bool raised = false;
            try {
                kivra.SetCommunicationTimeout(1);
            } catch (const kivra::Exception& e) {
                raised = true;
                EXPECT_EQ(e.what(), text);
            }
            EXPECT_EQ(raised, exceptions);
            EXPECT_EQ(calls, events ? 1 : 0);
            if (events) {
                EXPECT_EQ(seen, "-4 " + text);
            }
            EXPECT_EQ(kivra.GetLastErrorCode(), -4);
            EXPECT_EQ(kivra.GetLastErrorMessage(), text);
            EXPECT_EQ(kivra.GetCommunicationTimeout(), 3000);
        }
    }

    // Debug texts reach OnDebug only while DebugEventsEnabled.
    TKivra kivra;
    std::vector<std::string> debug;
    kivra.SetOnDebug([&](std::string t) { debug.push_back(std::move(t)); });
    kivra.SetSerialPort(2);
    EXPECT_TRUE(debug.empty());
    kivra.SetDebugEventsEnabled(true);
    kivra.SetSerialPort(3);
    EXPECT_EQ(debug, std::vector<std::string>{"Serial port set to: 3"});
}

TEST(KivraSurface, OperationsWhileDisconnected)
{
    TKivra kivra;
    EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetErrorExceptionsEnabled(false);

    EXPECT_FALSE(kivra.Connect());
    ASSERT_EQ(rec.Errors.size(), 1U);
    EXPECT_EQ(rec.Errors[0],
              std::make_pair(-2, std::string("The KivraModel property must be specified prior to "
                                             "connecting.")));
    rec.Clear();

    kivra.StartPolling();
    ASSERT_EQ(rec.Errors.size(), 1U);
    EXPECT_EQ(rec.Errors[0],
              std::make_pair(-2, std::string("You must be connected before calling StartPolling.")));
    EXPECT_FALSE(kivra.GetPolling());
    rec.Clear();

    kivra.StopPolling();
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_FALSE(kivra.GetPolling());

    kivra.Disconnect(false);
    kivra.Disconnect(true);
    EXPECT_EQ(rec.CountDebug("Redundant method call: Already disconnected"), 2);
    EXPECT_TRUE(rec.Errors.empty());

    // The pump without a layer reports -1 but never lets the exception out.
    kivra.SetErrorExceptionsEnabled(true);
    rec.Clear();
    EXPECT_NO_THROW(kivra.CheckForBaseMessages());
    ASSERT_EQ(rec.Errors.size(), 1U);
    EXPECT_EQ(rec.Errors[0].first, -1);
    EXPECT_TRUE(rec.HasDebug("~~ERROR~~ Error: Communication Layer not properly established."));

    // With exceptions on, the failed Connect raises the reported text.
    try {
        kivra.Connect();
        ADD_FAILURE() << "no exception";
    } catch (const kivra::Exception& e) {
        EXPECT_STREQ(e.what(), "The KivraModel property must be specified prior to connecting.");
    }
}

TEST(KivraDispatch, VersionParser)
{
    struct Row {
        std::string message, version;
    };
    const Row rows[] = {
        {"VER:420,Ver 02.10.07", "QTB420: 02.10.07"},
        {"VER:410,Ver 01.05.02  ", "QTB410: 01.05.02"},
        {"VER:410,V1.05", "QTB410: V1.05"}, // fewer than 8 bytes left
        {"VER:,2.3", ": ,2.3"},             // no hardware number
        {"VER:420", ": VER:420"},           // neither comma nor full stop
        {"VER:4.2", ": :4.2"},              // the full stop close to the start
        {"VER:420,\xE9\xFF"
         "9.99\x80",
         "QTB420: \xFF"
         "9.99\x80"}, // bytes above 0x7F kept
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        TKivra kivra;
        kivra.DispatchBaseMessage(row.message);
        EXPECT_EQ(kivra.GetBaseVersion(), row.version);
    }
}

TEST(KivraDispatch, SerialAndChannelParsers)
{
    TKivra kivra;
    kivra.DispatchBaseMessage("SERIAL:104523");
    EXPECT_EQ(kivra.GetBaseSerialNumber(), "104523");
    kivra.DispatchBaseMessage("SERIAL:9876543210");
    EXPECT_EQ(kivra.GetBaseSerialNumber(), "987654");
    kivra.DispatchBaseMessage("SERIAL:12");
    EXPECT_EQ(kivra.GetBaseSerialNumber(), "12");

    kivra.DispatchBaseMessage("CHANNEL:07");
    EXPECT_EQ(kivra.GetBaseChannel(), 7);
    kivra.DispatchBaseMessage("CHANNEL:15\r\n");
    EXPECT_EQ(kivra.GetBaseChannel(), 15);
    // Not a number: the conversion failure leaves the channel unchanged (the pump catches it).
    EXPECT_THROW(kivra.DispatchBaseMessage("CHANNEL:x7"), kivra::EConvertError);
    EXPECT_EQ(kivra.GetBaseChannel(), 15);
}

TEST(KivraDispatch, FirstMatchWinsAndUnknownMessagesAreReported)
{
    TKivra kivra;
    EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetKivraModel(rstKivraModel::mKivra);
    kivra.SetErrorExceptionsEnabled(false);

    // "VER" only counts at the start; a scan group letter loses to the texts.
    kivra.DispatchBaseMessage("ASERIAL:123456");
    EXPECT_EQ(kivra.GetBaseSerialNumber(), "123456");
    kivra.DispatchBaseMessage("CHANNEL:03 SERIAL");
    EXPECT_EQ(kivra.GetBaseSerialNumber(), "03 SER");
    EXPECT_EQ(kivra.GetBaseChannel(), -1);
    EXPECT_TRUE(rec.Errors.empty());

    struct Row {
        std::string message;
    };
    const Row unknown[] = {{Packet('F')}, {Packet('@')}, {"xyz"}, {""}, {"ver:420,1.2"}};
    for (const Row& row : unknown) {
        SCOPED_TRACE(row.message);
        rec.Clear();
        kivra.DispatchBaseMessage(row.message);
        ASSERT_EQ(rec.Errors.size(), 1U);
        EXPECT_EQ(rec.Errors[0].first, -5);
        EXPECT_EQ(rec.Errors[0].second, "Unhandled data message from base: " + row.message);
    }

    // A packet of the model's groups is no error, even from a keypad that is not listed.
    rec.Clear();
    kivra.DispatchBaseMessage(Packet('E'));
    kivra.DispatchBaseMessage(Packet('A'));
    EXPECT_TRUE(rec.Errors.empty());

    kivra.SetErrorExceptionsEnabled(true);
    EXPECT_THROW(kivra.DispatchBaseMessage(Packet('Z')), kivra::Exception);
}

TEST(KivraDispatch, NoPacketsWithoutScanGroups)
{
    // A new control has no scan group letters: a message starting with byte 0 is no packet.
    TKivra kivra;
    kivra.SetErrorExceptionsEnabled(false);
    const std::string message(54, '\0');
    kivra.DispatchBaseMessage(message);
    EXPECT_EQ(kivra.GetLastErrorCode(), -5);
    EXPECT_EQ(kivra.GetLastErrorMessage(), "Unhandled data message from base: " + message);
}
