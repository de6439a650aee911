// The Poll window on the main window's control: answers from the control's events reach both the
// grid and the chart, the counting rules, the roster, the store and the history.

#include "MainWindowFixture.h"
#include "app/PollChart.h"
#include "app/frmPoll.h"
#include "app/frmPresentation.h"
#include "app/frmSessionHistory.h"
#include "session/Csv.h"
#include "session/SessionStore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

namespace kivra::test {
namespace {

using Tally = std::array<int, KeyCount>;

// Chart order for digits: 0-9, then "<", "=", ">".
Tally Bars(std::initializer_list<std::pair<int, int>> counts)
{
    Tally t{};
    for (const auto& [index, n] : counts)
        t[static_cast<std::size_t>(index)] = n;
    return t;
}

class PollWindow : public MainWindow {
protected:
    void SetUp() override
    {
        MainWindow::SetUp();
        ASSERT_TRUE(dir.isValid());
        TfrmPoll::SetStoreLocationOverride(dir.filePath(QStringLiteral("sessions.db")));
        StartSim();
        CreateWindow();
        ASSERT_FALSE(w->PollButton()->isEnabled()) << "no polling before a base is connected";
        ASSERT_TRUE(ConnectToSim());
        ASSERT_TRUE(w->PollButton()->isEnabled());
        Click(w->PollButton());
        poll = w->PollForm();
        ASSERT_NE(poll, nullptr);
        ASSERT_TRUE(poll->isVisible());
    }
    // The control's events as its message pump raises them.
    void Key(int keypad, int digit) { w->KivraOCX->GetOnKeypadDataReceived()(keypad, digit); }
    void Soft(int keypad, const char* key) { w->KivraOCX->GetOnSoftkeyDataReceived()(keypad, key); }
    void Serial(int keypad, const char* serial)
    {
        w->KivraOCX->GetOnKeypadSerialNumber()(keypad, serial, "1.0", 90, false);
    }
    QString WriteFile(const QString& name, const QByteArray& content)
    {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return f.fileName();
    }

    QTemporaryDir dir;
    TfrmPoll* poll = nullptr;
};

TEST_F(PollWindow, QuestionStartsPollingAndAnswersReachGridAndChart)
{
    EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Start Polling"));
    poll->StartQuestion();
    EXPECT_TRUE(WaitUntil([&] { return SimCommandSent("PT"); }, 2s)) << "BeginQuestion";
    EXPECT_TRUE(w->KivraOCX->GetPolling());
    EXPECT_EQ(ui().btnPolling->text(), QStringLiteral("Stop Polling")) << "started as the button does";
    EXPECT_EQ(poll->StartButton()->text(), QStringLiteral("Start Question 2"));

    // A real press through the simulated base: the grid shows it as before, the chart counts it.
    ASSERT_TRUE(WaitUntil([&] { return sim->Streaming(); }, 2s));
    sim->Press(26, '4');
    ASSERT_TRUE(WaitUntil([&] { return CellText(26) == QStringLiteral(" 26: 4"); }, 3s));
    EXPECT_TRUE(WaitUntil([&] { return poll->Chart()->Values() == Bars({{4, 1}}); }, 2s));
    EXPECT_EQ(ui().edtKeypadCount->text(), QStringLiteral("1 keypad of 250"));

    // Changing one's mind moves the answer; soft keys have their own bars.
    Key(7, 4);
    Key(26, 9);
    Soft(8, "<");
    Soft(9, ">");
    poll->Refresh();
    EXPECT_EQ(poll->Chart()->Values(), Bars({{4, 1}, {9, 1}, {10, 1}, {12, 1}}));
    EXPECT_EQ(poll->AnsweredText(), QStringLiteral("4 of 250 answered")) << "the defined group: all";
    const QList<QStringList> rows = poll->TableRows();
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[0], (QStringList{"7", "", "4"}));
    EXPECT_EQ(rows[3], (QStringList{"26", "", "9"}));
    EXPECT_EQ(CellText(26), QStringLiteral(" 26: 9"));

    // The correct answer and the percentage right.
    poll->SetCorrectKey('4');
    EXPECT_EQ(poll->PercentText(), QStringLiteral("25.0 % right"));
    EXPECT_EQ(poll->Chart()->HighlightedBar(), 4);
}

TEST_F(PollWindow, ChartRedrawsOnTheTimerNotPerAnswer)
{
    poll->StartQuestion();
    const int before = poll->Chart()->Updates();
    for (int k = 1; k <= 200; ++k)
        Key(k, k % 10);
    EXPECT_EQ(poll->Chart()->Updates(), before) << "two hundred answers, no redraw yet";
    ASSERT_TRUE(WaitUntil([&] { return poll->Chart()->Values()[3] == 20; }, 2s));
    EXPECT_LE(poll->Chart()->Updates() - before, 2);
}

TEST_F(PollWindow, ClosedQuestionAndFirstAnswerOnly)
{
    poll->FirstOnlyBox()->setChecked(true);
    poll->LabelsBox()->setCurrentIndex(1); // letters
    poll->StartQuestion();
    EXPECT_FALSE(poll->FirstOnlyBox()->isEnabled()) << "fixed while the session runs";
    EXPECT_EQ(poll->Chart()->Categories(),
              (QStringList{"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "<", "=", ">"}));
    Key(1, 1);
    Key(1, 2); // not counted: first answer only
    Key(2, 0);
    poll->Refresh();
    // Letter order: 1=A ... 9=I, 0=J.
    EXPECT_EQ(poll->Chart()->Values(), Bars({{0, 1}, {9, 1}}));
    EXPECT_EQ(poll->TableRows()[0], (QStringList{"1", "", "A"}));

    poll->CloseQuestion();
    Key(3, 5);
    poll->Refresh();
    EXPECT_EQ(poll->Chart()->Values(), Bars({{0, 1}, {9, 1}})) << "a late answer does not count";
    EXPECT_EQ(CellText(3), QStringLiteral("  3: 5")) << "the grid still shows it";
    ASSERT_EQ(poll->Session()->Questions()[0].Answers.size(), 4u) << "but it is logged";
    EXPECT_TRUE(poll->Session()->Questions()[0].Answers[3].Late);

    poll->StartQuestion();
    poll->Refresh();
    EXPECT_EQ(poll->Session()->CurrentQuestion(), 2);
    EXPECT_EQ(poll->Chart()->Values(), Tally{});
    poll->EndSession();
    EXPECT_FALSE(poll->SessionRunning());
    EXPECT_TRUE(poll->FirstOnlyBox()->isEnabled());
    EXPECT_EQ(poll->StartButton()->text(), QStringLiteral("Start Question 1"));
}

TEST_F(PollWindow, RosterErrorsListedAndNamesFollowSerials)
{
    const QString bad =
        WriteFile("bad.csv", "name,keypad,serial\nAnn Lee,12,\n,13,\nBo Chen,300,\nCy Dow,,12XY\n");
    EXPECT_FALSE(poll->ImportRoster(bad));
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains(bad));
    for (const char* line : {"line 3", "line 4", "line 5"})
        EXPECT_TRUE(messages[0].contains(QLatin1String(line))) << messages[0].toStdString();
    EXPECT_FALSE(messages[0].contains(QLatin1String("line 2")));
    EXPECT_TRUE(poll->Roster().IsEmpty()) << "nothing half-imported";

    const QString good = WriteFile("good.csv", "name,keypad,serial\n\"Lee, Ann\",12,\nZo\xc3\xab,,0ABC01\n");
    ASSERT_TRUE(poll->ImportRoster(good));
    EXPECT_EQ(poll->Roster().Size(), 2);
    // The keypad with Zoë's serial reports it, then answers from number 40.
    Serial(40, "0abc01");
    poll->StartQuestion();
    Key(12, 1);
    Key(40, 2);
    poll->Refresh();
    EXPECT_EQ(poll->AnsweredText(), QStringLiteral("2 of 2 answered"))
        << "the roster sets the expected count";
    const QList<QStringList> rows = poll->TableRows();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0][1], QStringLiteral("Lee, Ann"));
    EXPECT_EQ(rows[1][1], QString::fromUtf8("Zo\xc3\xab"));
}

TEST_F(PollWindow, SerialsAreReadFromTheBaseAndCarriedByAnswers)
{
    poll->ReadSerials();
    EXPECT_TRUE(WaitUntil([&] { return SimCommandSent("PD"); }, 2s));
    ASSERT_TRUE(WaitUntil([&] { return !poll->KnownSerial(7).isEmpty(); }, 5s));
    EXPECT_TRUE(TRoster::IsSerial(poll->KnownSerial(7)));
    poll->StartQuestion();
    Key(7, 1);
    ASSERT_EQ(poll->Session()->Questions()[0].Answers.size(), 1u);
    EXPECT_EQ(poll->Session()->Questions()[0].Answers[0].Serial, poll->KnownSerial(7));
}

TEST_F(PollWindow, StoreFailureIsOneMessageAndPollingGoesOn)
{
    // A store under a plain file cannot be created.
    const QString blocker = WriteFile("file", "x");
    TfrmPoll::SetStoreLocationOverride(blocker + QStringLiteral("/sessions.db"));
    poll->StartQuestion();
    Key(1, 1);
    ASSERT_TRUE(WaitUntil([&] { return !messages.isEmpty(); }, 10s));
    Key(2, 1);
    poll->Refresh();
    EXPECT_EQ(poll->Chart()->Values(), Bars({{1, 2}}));
    EXPECT_TRUE(w->KivraOCX->GetPolling());
    ProcessEventsFor(1500ms); // a retry fails again
    ASSERT_EQ(messages.size(), 1) << messages.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(messages[0].contains(blocker)) << messages[0].toStdString();
    EXPECT_TRUE(poll->StatusText().contains(QStringLiteral("Not saved")));
    EXPECT_GT(poll->Store()->Status().WaitingAnswers, 0);
}

TEST_F(PollWindow, HistoryReopensReadOnlyExportsAndNeverDeletesTheRecording)
{
    poll->TitleEdit()->setText(QStringLiteral("Quiz \"one\", week 3"));
    poll->StartQuestion();
    Key(1, 3);
    Key(2, 3);
    Key(3, 7);
    poll->SetCorrectKey('3');
    poll->StartQuestion();
    Key(1, 0);
    ASSERT_TRUE(poll->Store()->Flush(5000));

    poll->ShowHistory();
    TfrmSessionHistory* history = poll->History();
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->ListedIds().size(), 1u);
    const qint64 recording = history->ListedIds()[0];
    EXPECT_FALSE(history->CanDelete(recording)) << "the session being recorded";
    EXPECT_FALSE(history->DeleteSession(recording));

    poll->EndSession();
    poll->StartQuestion(); // a second session, now the recording one
    Key(5, 5);
    ASSERT_TRUE(poll->Store()->Flush(5000));
    history->Reload();
    ASSERT_EQ(history->ListedIds().size(), 2u);
    EXPECT_TRUE(history->CanDelete(recording));

    ASSERT_TRUE(history->OpenSession(recording));
    ASSERT_NE(history->Opened(), nullptr);
    EXPECT_TRUE(history->Opened()->IsReadOnly());
    EXPECT_EQ(history->Chart()->Values(), Bars({{3, 2}, {7, 1}}));
    EXPECT_EQ(history->AnsweredText(), QStringLiteral("3 of 250 answered, correct: 3, 66.7 % right"));
    history->ShowQuestion(2);
    EXPECT_EQ(history->Chart()->Values(), Bars({{0, 1}}));

    const QString path = dir.filePath(QStringLiteral("answers.csv"));
    ASSERT_TRUE(history->ExportAnswers(path));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const csv::TParseResult csv = csv::Parse(f.readAll());
    ASSERT_EQ(csv.ErrorLine, 0);
    ASSERT_EQ(csv.Records.size(), 5u); // header and four answers
    EXPECT_EQ(csv.Records[1].Fields[1], QStringLiteral("Quiz \"one\", week 3"));
    EXPECT_EQ(csv.Records[1].Fields[2], QStringLiteral("1"));
    EXPECT_EQ(csv.Records[1].Fields[3], QStringLiteral("1"));
    EXPECT_EQ(csv.Records[4].Fields[2], QStringLiteral("2"));
    const QString gradebook = dir.filePath(QStringLiteral("gradebook.csv"));
    ASSERT_TRUE(history->ExportGradebook(gradebook));
    QFile g(gradebook);
    ASSERT_TRUE(g.open(QIODevice::ReadOnly));
    const csv::TParseResult book = csv::Parse(g.readAll());
    ASSERT_EQ(book.Records.size(), 4u); // header, keypads 1-3
    EXPECT_EQ(book.Records[1].Fields.last(), QStringLiteral("1")) << "keypad 1 was right once";
    EXPECT_EQ(book.Records[3].Fields.last(), QStringLiteral("0"));

    ASSERT_TRUE(history->DeleteSession(recording));
    EXPECT_EQ(history->Opened(), nullptr);
    EXPECT_EQ(history->ListedIds().size(), 1u);
    EXPECT_TRUE(messages.isEmpty()) << messages.join(QLatin1Char('|')).toStdString();
}

TEST_F(PollWindow, EntryPointSitsInFreeSpaceOfTheMainWindow)
{
    const QRect button = w->PollButton()->geometry();
    EXPECT_TRUE(w->rect().contains(button));
    for (QWidget* other : w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (other != w->PollButton() && other->isVisible()) {
            EXPECT_FALSE(other->geometry().intersects(button)) << other->objectName().toStdString();
        }
    }
    // Disconnected: no new session can start from it.
    Click(ui().btnConnect);
    EXPECT_FALSE(w->PollButton()->isEnabled());
}

TEST_F(PollWindow, TitleChangesAreKeptAndAnUnreadableStoreIsNamed)
{
    poll->StartQuestion();
    poll->TitleEdit()->setText(QStringLiteral("Renamed"));
    emit poll->TitleEdit()->editingFinished();
    EXPECT_EQ(poll->Session()->Title(), QStringLiteral("Renamed"));
    ASSERT_TRUE(poll->Store()->Flush(5000));
    TfrmSessionHistory kept(dir.filePath(QStringLiteral("sessions.db")));
    ASSERT_TRUE(kept.Reload());
    ASSERT_EQ(kept.ListedIds().size(), 1u);
    ASSERT_TRUE(kept.OpenSession(kept.ListedIds()[0]));
    EXPECT_EQ(kept.Opened()->Title(), QStringLiteral("Renamed"));

    const QString blocker = WriteFile("file", "x");
    TfrmSessionHistory unreadable(blocker + QStringLiteral("/sessions.db"));
    EXPECT_FALSE(unreadable.Reload());
    EXPECT_TRUE(unreadable.ErrorText().contains(blocker)) << unreadable.ErrorText().toStdString();
    EXPECT_TRUE(unreadable.ListedIds().empty());
}

// Another program holds the database while the history deletes a session: the deletion waits,
// and meanwhile the windows and the control go on; the history takes no input and shows that it
// is busy.
TEST_F(PollWindow, AHeldStoreHoldsNeitherTheHistoryNorTheOtherWindows)
{
    poll->StartQuestion();
    Key(1, 3);
    poll->EndSession();
    ASSERT_TRUE(poll->Store()->Flush(5000));
    TfrmSessionHistory history(dir.filePath(QStringLiteral("sessions.db")));
    history.show();
    ASSERT_TRUE(history.Reload());
    auto* list = history.findChild<QTableWidget*>();
    ASSERT_EQ(list->rowCount(), 1);
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
        holder.setDatabaseName(dir.filePath(QStringLiteral("sessions.db")));
        ASSERT_TRUE(holder.open());
        QSqlQuery q(holder);
        ASSERT_TRUE(q.exec(QStringLiteral("BEGIN IMMEDIATE")));

        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(20);
        bool deleting = true, releasedWhileDeleting = false, busyShown = false;
        int ticksAtRelease = 0;
        // Released well within the store's wait for a lock (1 s), if the event loop runs.
        QTimer::singleShot(400, [&] {
            releasedWhileDeleting = deleting;
            ticksAtRelease = ticks;
            busyShown = !history.isEnabled();
            // A click now would select the session: it is dropped.
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                              list->visualItemRect(list->item(0, 0)).center());
            EXPECT_TRUE(q.exec(QStringLiteral("COMMIT")));
        });
        EXPECT_TRUE(history.DeleteSession(history.ListedIds().at(0)));
        deleting = false;
        EXPECT_TRUE(releasedWhileDeleting) << "the deletion did not wait for the holder";
        EXPECT_GE(ticksAtRelease, 10) << "the event loop stood still while the store was busy";
        EXPECT_TRUE(busyShown);
        EXPECT_TRUE(history.isEnabled());
        EXPECT_TRUE(history.ListedIds().empty());
        EXPECT_TRUE(list->selectedItems().isEmpty());
        EXPECT_TRUE(messages.isEmpty()) << messages.join(QLatin1Char('|')).toStdString();
        q.finish();
        holder.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("holder"));
}

TEST_F(PollWindow, PresentationFollowsTheChartAndClosesOnEscape)
{
    poll->StartQuestion();
    Key(4, 2);
    poll->ShowPresentation();
    TfrmPresentation* p = poll->Presentation();
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(p->isVisible());
    EXPECT_TRUE(p->isFullScreen());
    EXPECT_EQ(p->Chart()->Values(), Bars({{2, 1}}));
    Key(5, 2);
    ASSERT_TRUE(WaitUntil([&] { return p->Chart()->Values() == Bars({{2, 2}}); }, 2s));
    EXPECT_EQ(p->AnsweredText(), QStringLiteral("2 of 250 answered"));
    poll->SetChartHidden(true);
    EXPECT_TRUE(p->Chart()->BarsHidden());
    EXPECT_TRUE(poll->Chart()->BarsHidden());
    QTest::keyClick(p, Qt::Key_Escape);
    EXPECT_FALSE(p->isVisible());
}

} // namespace
} // namespace kivra::test
