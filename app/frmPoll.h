#pragma once
// TfrmPoll: the Poll window. Runs a poll session on the main window's control: a title and
// options, questions opened and closed in turn (each opening runs the control's BeginQuestion
// and starts polling if it was off), a live bar chart, answered-of-expected, elapsed time, the
// answer that counts per keypad with the roster's names, the correct answer and the percentage
// right. Every answer is recorded through a TSessionRecorder into the session store.
//
// The answers come from the control's events: the window chains its handlers after the ones
// already bound (the main window's grid), so both see every event.

#include "session/PollSession.h"
#include "session/Roster.h"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>

class QCheckBox;
class QComboBox;
class QElapsedTimer;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace kivra {

class TKivra;
class TPollChart;
class TSessionRecorder;
class TSessionStore;
class TfrmPresentation;
class TfrmSessionHistory;

class TfrmPoll : public QWidget {
public:
    //! How often at most the chart, the counters and the table are redrawn.
    static constexpr int kRefreshMs = 250;

    //! kivra: the main window's control (its event handlers are chained, not replaced).
    //! expected: the keypads expected to answer when there is no roster (the defined group).
    //! startPolling: starts polling the way the main window's button does.
    TfrmPoll(TKivra& kivra, std::function<int()> expected, std::function<void()> startPolling,
             QWidget* parent = nullptr);
    ~TfrmPoll() override;

    //! The store location: "session/database" in the settings, unless the command line gave one.
    static QString StoreLocation();
    static void SetStoreLocationOverride(const QString& location);

    // Actions of the buttons (public for tests and the screenshot driver).
    //! Opens the next question, starting a session first when none runs.
    void StartQuestion();
    void CloseQuestion();
    void EndSession();
    //! key 0 clears the mark.
    void SetCorrectKey(char key);
    void SetChartHidden(bool hidden);
    //! Loads a roster; on errors shows them all with their line numbers and keeps the old one.
    bool ImportRoster(const QString& path);
    //! Asks the keypads for their serial numbers, so that roster names follow serials.
    void ReadSerials();
    void ShowPresentation();
    void ShowHistory();

    //! The running (or last) session; null before the first start.
    const TPollSession* Session() const;
    bool SessionRunning() const;
    const TRoster& Roster() const { return roster_; }
    //! The serial number a keypad last reported, or empty.
    QString KnownSerial(int keypad) const;
    TSessionStore* Store() const { return store_.get(); }
    TPollChart* Chart() const { return chart_; }
    TfrmPresentation* Presentation() const { return presentation_; }
    TfrmSessionHistory* History() const { return history_; }
    //! Redraws now what changed (the timer does it at most every kRefreshMs).
    void Refresh();

    // Texts as shown, for tests.
    QString AnsweredText() const;
    QString PercentText() const;
    QString StatusText() const;
    //! Rows of the table: keypad, name, key label.
    QList<QStringList> TableRows() const;

    // Controls, for tests and the screenshot driver.
    QLineEdit* TitleEdit() const { return edtTitle_; }
    QComboBox* LabelsBox() const { return cboLabels_; }
    QCheckBox* FirstOnlyBox() const { return chkFirstOnly_; }
    QPushButton* StartButton() const { return btnStart_; }

private:
    void HookEvents();
    void Answer(int keypad, char key);
    void SerialReported(int keypad, const std::string& serial);
    void StartSession();
    void StoreProblem(const QString& message);
    void StoreBack(const QString& message);
    void UpdateButtons();
    void FillCorrectKeys();
    void Tick();
    TKeyLabels Labels() const;

    TKivra& kivra_;
    std::function<int()> expected_;
    std::function<void()> startPolling_;
    std::unique_ptr<TSessionStore> store_;
    std::unique_ptr<TSessionRecorder> recorder_;
    TRoster roster_;
    std::map<int, QString> serials_; // reported since the window exists
    bool dirty_ = true;
    qint64 questionOpenedMono_ = 0;

    QLineEdit* edtTitle_ = nullptr;
    QComboBox* cboLabels_ = nullptr;
    QCheckBox* chkFirstOnly_ = nullptr;
    QPushButton* btnRoster_ = nullptr;
    QPushButton* btnSerials_ = nullptr;
    QPushButton* btnStart_ = nullptr;
    QPushButton* btnClose_ = nullptr;
    QPushButton* btnEnd_ = nullptr;
    QPushButton* btnHide_ = nullptr;
    QPushButton* btnPresent_ = nullptr;
    QPushButton* btnHistory_ = nullptr;
    QComboBox* cboCorrect_ = nullptr;
    QLabel* lblQuestion_ = nullptr;
    QLabel* lblAnswered_ = nullptr;
    QLabel* lblElapsed_ = nullptr;
    QLabel* lblPercent_ = nullptr;
    QLabel* lblRoster_ = nullptr;
    QLabel* lblStore_ = nullptr;
    TPollChart* chart_ = nullptr;
    QTableWidget* table_ = nullptr;
    QTimer* refresh_ = nullptr;
    TfrmPresentation* presentation_ = nullptr; // owned (child window), made on first use
    TfrmSessionHistory* history_ = nullptr;    // owned (child window), made on first use
};

} // namespace kivra
