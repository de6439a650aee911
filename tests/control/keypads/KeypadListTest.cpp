// The keypad list without a base: range texts, the numeric operations and the two views.

#include "control/Kivra.h"
#include "core/Exception.h"
#include "tests/support/EventRecorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace kivra {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

const std::string kRangeNotation = "Invalid format (range notation) in keypad string.\r"
                                   "Use \"-\" to define a range and \",\" to separate individual keypads and "
                                   "ranges.\rFor example, \"1-10,20-30,50\"";
const std::string kNoUpperEnd =
    "Invalid range specified.  No upper end value supplied. All ranges must be defined as <start> - <end>.";

//! The message of the kivra::Exception fn raises, or "" when it raises none.
template <typename Fn> std::string MessageOf(Fn&& fn)
{
    try {
        fn();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

std::vector<std::pair<int, int>> Sets(const std::string& text, int maxKeypads = 250)
{
    std::vector<std::pair<int, int>> sets;
    for (const TKeypadAddSet& s : ParseKeypadRangeText(text, maxKeypads)) {
        EXPECT_EQ(s.MaxKeypads(), maxKeypads);
        sets.emplace_back(s.KeypadNumber(), s.KeypadCount());
    }
    return sets;
}

//! A control with capacity 250 (scan groups A to E) and an empty keypad list.
class KeypadListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kivra.SetKivraModel(rstKivraModel::mKivra);
        kivra.ClearKeypadList();
    }

    std::string List()
    {
        const bool debug = kivra.GetDebugEventsEnabled();
        kivra.SetDebugEventsEnabled(false);
        std::string list = kivra.GetKeypadList();
        kivra.SetDebugEventsEnabled(debug);
        return list;
    }

    TKivra kivra;
    test::EventRecorder rec;
};

TEST(RangeText, ElementsAreParsedInTextOrder)
{
    struct Row {
        const char* text;
        std::vector<std::pair<int, int>> sets;
    };
    const std::vector<Row> rows = {
        {"1-10,20-30,50", {{1, 10}, {20, 11}, {50, 1}}},
        {" 3 , 7 ", {{3, 1}, {7, 1}}},
        {"1 2", {{12, 1}}},       // blanks inside a number are ignored
        {"2 0 - 2 5", {{20, 6}}}, // also inside a range
        {"", {}},
        {",", {}},
        {",,,", {}},
        {"   ", {}},
        {"7-3,1", {{1, 1}}}, // a reversed range followed by a comma is dropped quietly
        {"5-5,", {{5, 1}}},  // a one-keypad range is fine before a comma
        {"10-5,", {}},
        {"5-,", {}},
        {"-5,", {}},
        {"0,", {}},
        {"0", {}},
        {"007", {{7, 1}}},
        {"250", {{250, 1}}},
        {"1-250", {{1, 250}}},
        {"50,49-50", {{50, 1}, {49, 2}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(Sets(row.text), row.sets);
    }
}

TEST(RangeText, FailuresCarryTheirMessages)
{
    struct Row {
        const char* text;
        int maxKeypads;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"1--5", 250, kRangeNotation},
        {"1-2-3", 250, kRangeNotation},
        {"5-", 250, kNoUpperEnd},
        {"-", 250, kNoUpperEnd},
        {"1,5-0", 250, kNoUpperEnd},
        {"7-3", 250,
         "Unable to add range 7-3.  Starting keypad number must be lower than ending keypad number."},
        {"5-5", 250,
         "Unable to add range 5-5.  Starting keypad number must be lower than ending keypad number."},
        {"300", 250, "Keypad number 300 is outside the bounds of 1 - 250."},
        {"-5", 250, "Keypad number 0 is outside the bounds of 1 - 250."},
        {"240-260", 250,
         "The keypad number or range specified exceeds the maximum number of keypads (250) for the Kivra "
         "model "
         "specified."},
        {"51", 50, "Keypad number 51 is outside the bounds of 1 - 50."},
        {"1", 0, "Keypad number 1 is outside the bounds of 1 - 0."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(MessageOf([&] { ParseKeypadRangeText(row.text, row.maxKeypads); }), row.message);
    }
}

TEST(RangeText, ForeignCharactersFailBeforeAnythingIsParsed)
{
    // "1--5" alone would fail with the range-notation text: the character check comes first.
    for (const std::string& text :
         std::vector<std::string>{"1,2,x", "1--5;", "1\t2", "1.5", std::string("3\0", 2), "+4", "\xE9"}) {
        SCOPED_TRACE(text);
        const std::string message = MessageOf([&] { ParseKeypadRangeText(text, 250); });
        EXPECT_THAT(message, HasSubstr("Only the digits 0 to 9, \",\", \"-\" and blanks are allowed."));
    }
    EXPECT_THAT(MessageOf([] { ParseKeypadRangeText("1,2,x", 250); }), HasSubstr("\"x\" at position 5"));
}

TEST(RangeText, NumbersBeyond32BitsAreRefusedNotWrapped)
{
    // 4294967297 would wrap to 1 in 32-bit arithmetic; 2147483648 to a negative number.
    EXPECT_EQ(
        MessageOf([] { ParseKeypadRangeText("4294967297", 250); }),
        "Keypad number 4294967297 in keypad string is too large. Keypad numbers cannot exceed 2147483647.");
    EXPECT_THAT(MessageOf([] { ParseKeypadRangeText("1-21474 83648,3", 250); }),
                HasSubstr("Keypad number 2147483648 in keypad string is too large."));
    // The largest 32-bit number itself is only out of the model's bounds.
    EXPECT_EQ(MessageOf([] { ParseKeypadRangeText("2147483647", 250); }),
              "Keypad number 2147483647 is outside the bounds of 1 - 250.");
    EXPECT_EQ(
        MessageOf([] { ParseKeypadRangeText("1-2147483647", 250); }),
        "The keypad number or range specified exceeds the maximum number of keypads (250) for the Kivra "
        "model specified.");
}

TEST(KeypadAddSet, ChecksRunInOrderAndCannotWrap)
{
    EXPECT_EQ(MessageOf([] { TKeypadAddSet(250, 0, 0); }),
              "Keypad number 0 is outside the bounds of 1 - 250.");
    EXPECT_EQ(MessageOf([] { TKeypadAddSet(250, 251, 1); }),
              "Keypad number 251 is outside the bounds of 1 - 250.");
    EXPECT_EQ(MessageOf([] { TKeypadAddSet(250, 1, 0); }), "Keypad count cannot be less than 1.");
    EXPECT_EQ(MessageOf([] { TKeypadAddSet(250, 1, -3); }), "Keypad count cannot be less than 1.");
    const std::string exceeds =
        "The keypad number or range specified exceeds the maximum number of keypads (250) "
        "for the Kivra model specified.";
    EXPECT_EQ(MessageOf([] { TKeypadAddSet(250, 250, 2); }), exceeds);
    EXPECT_EQ(MessageOf([] { TKeypadAddSet(250, 2, INT_MAX); }), exceeds);
    const TKeypadAddSet set(250, 250, 1);
    EXPECT_EQ(set.KeypadNumber(), 250);
    EXPECT_EQ(set.KeypadCount(), 1);
    EXPECT_EQ(set.MaxKeypads(), 250);
}

TEST_F(KeypadListTest, TextAddAndRemoveChangeTheList)
{
    kivra.AddKeypad("1-10,20-30,50");
    EXPECT_EQ(kivra.GetKeypadListCount(), 22);
    EXPECT_EQ(List(), "1,2,3,4,5,6,7,8,9,10,20,21,22,23,24,25,26,27,28,29,30,50");

    kivra.RemoveKeypad("5-25, 50");
    EXPECT_EQ(List(), "1,2,3,4,26,27,28,29,30");

    kivra.AddKeypad(" 3 , 7 ");
    EXPECT_EQ(List(), "1,2,3,4,7,26,27,28,29,30");

    kivra.AddKeypad("");
    kivra.AddKeypad(",");
    kivra.RemoveKeypad("");
    EXPECT_EQ(kivra.GetKeypadListCount(), 10);
}

TEST_F(KeypadListTest, AFailingTextChangesNothing)
{
    kivra.AddKeypad("100");
    // Valid elements ahead of the failing one are not applied either.
    for (const char* text :
         {"1,2,x", "1,2,1--5", "1,2,5-", "1,2,7-3", "1,2,300", "1,2,240-260", "1,99999999999"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(kivra.AddKeypad(text), Exception);
        EXPECT_THROW(kivra.RemoveKeypad("100," + std::string(text)), Exception);
        EXPECT_EQ(List(), "100");
    }
}

TEST_F(KeypadListTest, NumericAddRaisesDirectly)
{
    rec.Attach(kivra);
    kivra.SetErrorExceptionsEnabled(false); // these checks raise regardless
    struct Row {
        int keypad;
        int count;
        std::string message;
    };
    const std::vector<Row> rows = {
        {251, 1, "Keypad number 251 is beyond the bounds of MaxKeypads(250)."},
        {245, 10, "The count parameter specified 10 would exceed MaxKeypads(250)."},
        {0, 5, "Keypad number 0 is out of bounds. Keypad numbers must be greater than zero."},
        {-3, 1, "Keypad number -3 is out of bounds. Keypad numbers must be greater than zero."},
        {5, 0, "Count parameter must be greater than zero."},
        {5, -2, "Count parameter must be greater than zero."},
        {2, INT_MAX, "The count parameter specified 2147483647 would exceed MaxKeypads(250)."},
        {INT_MAX, 1, "Keypad number 2147483647 is beyond the bounds of MaxKeypads(250)."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(MessageOf([&] { kivra.AddKeypad(row.keypad, row.count); }), row.message);
    }
    EXPECT_EQ(kivra.GetKeypadListCount(), 0);
    EXPECT_TRUE(rec.Errors.empty());
    EXPECT_EQ(kivra.GetLastErrorCode(), 0);
    EXPECT_EQ(kivra.GetLastErrorMessage(), "");

    kivra.AddKeypad(250, 1);
    kivra.AddKeypad(1, 3);
    kivra.AddKeypad(2, 2); // already set: no error
    EXPECT_EQ(List(), "1,2,3,250");
}

TEST_F(KeypadListTest, NumericRemoveReportsMinusFourAndRemovesNothing)
{
    kivra.AddKeypad(1, 250);
    rec.Attach(kivra);
    struct Row {
        int keypad;
        int count;
        std::string message;
    };
    const std::vector<Row> rows = {
        {251, 1, "Keypad number 251 is greater than MaxKeypads(250)."},
        {240, 20, "Keypad number 240 with a count of 20 is greater than MaxKeypads(250)."},
        {0, 1, "Keypad number 0 is invalid. Keypad numbers must be greater than 0."},
        {3, 0, "Count parameter must be greater than 0."},
        {3, INT_MAX, "Keypad number 3 with a count of 2147483647 is greater than MaxKeypads(250)."},
    };
    for (const bool raise : {true, false}) {
        kivra.SetErrorExceptionsEnabled(raise);
        for (const Row& row : rows) {
            SCOPED_TRACE(row.message);
            rec.Clear();
            if (raise)
                EXPECT_EQ(MessageOf([&] { kivra.RemoveKeypad(row.keypad, row.count); }), row.message);
            else
                EXPECT_NO_THROW(kivra.RemoveKeypad(row.keypad, row.count));
            ASSERT_EQ(rec.Errors.size(), 1U);
            EXPECT_EQ(rec.Errors[0], std::make_pair(-4, row.message));
            EXPECT_EQ(kivra.GetLastErrorCode(), -4);
            EXPECT_EQ(kivra.GetLastErrorMessage(), row.message);
            EXPECT_EQ(kivra.GetKeypadListCount(), 250);
        }
    }
    kivra.RemoveKeypad(249, 2);
    kivra.RemoveKeypad(1, 1);
    EXPECT_EQ(kivra.GetKeypadListCount(), 247);
    EXPECT_FALSE(List().starts_with("1,"));
}

TEST(KeypadList, ModelChangesFillAndClearTheList)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraOv);
    EXPECT_EQ(kivra.GetKeypadListCount(), 650);
    const std::string full = kivra.GetKeypadList();
    EXPECT_TRUE(full.starts_with("1,2,3,")) << full;
    EXPECT_TRUE(full.ends_with(",649,650")) << full;

    // A smaller model refills its own keypads only; the view stops at its capacity.
    kivra.SetKivraModel(rstKivraModel::mKivraEv);
    EXPECT_EQ(kivra.GetMaxKeypads(), 50);
    EXPECT_EQ(kivra.GetKeypadList().size(), std::string("1,2,3,4,5,6,7,8,9").size() + 41 * 3);
    EXPECT_EQ(kivra.GetKeypadListCount(), 650);

    // No capacity: clearing reports -4, adding raises.
    kivra.SetErrorExceptionsEnabled(false);
    EXPECT_EQ(MessageOf([&] { kivra.SetKivraModel(rstKivraModel::mNone); }),
              "Keypad number 1 is beyond the bounds of MaxKeypads(0).");
    EXPECT_EQ(kivra.GetLastErrorCode(), -4);
    EXPECT_EQ(kivra.GetLastErrorMessage(), "Keypad number 1 is greater than MaxKeypads(0).");
    EXPECT_EQ(kivra.GetKeypadList(), "");
}

TEST_F(KeypadListTest, ListViewEmitsZeroBasedIndexes)
{
    kivra.AddKeypad(3, 1);
    kivra.AddKeypad(1, 1);
    kivra.AddKeypad(2, 1);
    kivra.AddKeypad(250, 1);
    rec.Attach(kivra);
    EXPECT_EQ(kivra.GetKeypadList(), "1,2,3,250");
    EXPECT_THAT(rec.Debug, ElementsAre("0", "1", "2", "249"));

    kivra.ClearKeypadList();
    rec.Clear();
    EXPECT_EQ(kivra.GetKeypadList(), "");
    EXPECT_TRUE(rec.Debug.empty());
}

TEST_F(KeypadListTest, ScanGroupActivity)
{
    kivra.AddKeypad("50,51,250");
    std::vector<bool> active;
    for (int g = -1; g <= 7; ++g)
        active.push_back(kivra.IsScanGroupActive(g));
    //                                 -1     0      1     2     3      4      5     6      7
    EXPECT_THAT(active, ElementsAreArray({false, false, true, true, false, false, true, false, false}));

    kivra.RemoveKeypad("50-51");
    EXPECT_FALSE(kivra.IsScanGroupActive(1));
    EXPECT_FALSE(kivra.IsScanGroupActive(2));
    EXPECT_TRUE(kivra.IsScanGroupActive(5));
}

TEST(KeypadList, ScanGroupsStopAtTheCapacity)
{
    // After a larger model, entries above the capacity stay set but belong to no scan group.
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraOv);
    kivra.SetKivraModel(rstKivraModel::mKivraEv);
    kivra.ClearKeypadList();
    EXPECT_FALSE(kivra.IsScanGroupActive(1));
    EXPECT_FALSE(kivra.IsScanGroupActive(2));
    EXPECT_EQ(kivra.GetKeypadListCount(), 600);
}

TEST(KeypadList, CollectingSerialNumbersNeedsTheNewerModelAndAConnection)
{
    TKivra kivra;
    test::EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetKivraModel(rstKivraModel::mKivra);
    kivra.CollectKeypadSerialNumbers(); // wrong model: a debug text, no error
    EXPECT_TRUE(rec.HasDebug("CollectKeypadSerialNumbers is not supported by this Kivra model."));
    EXPECT_TRUE(rec.Errors.empty());

    kivra.SetKivraModel(rstKivraModel::mKivraSol);
    EXPECT_EQ(MessageOf([&] { kivra.CollectKeypadSerialNumbers(); }),
              "You must be connected to the base before calling CollectKeypadSerialNumbers.");
    EXPECT_EQ(kivra.GetLastErrorCode(), -2);
}

TEST(KeypadList, QuestionsAndListRequestsNeedAConnection)
{
    TKivra kivra;
    kivra.SetKivraModel(rstKivraModel::mKivraSol);
    test::EventRecorder rec;
    rec.Attach(kivra);
    kivra.SetErrorExceptionsEnabled(false);
    kivra.BeginQuestion(4);
    kivra.RequestKeypadSerialNumbers();
    kivra.RequestKeypadTimestamps();
    EXPECT_THAT(
        rec.Errors,
        ElementsAre(std::make_pair(-2, std::string("You must be connected before calling BeginQuestion.")),
                    std::make_pair(-2, std::string("You must be connected before calling "
                                                   "RequestKeypadSerialNumbers.")),
                    std::make_pair(-2, std::string("You must be connected before calling "
                                                   "RequestKeypadTimestamps."))));
}

} // namespace
} // namespace kivra
