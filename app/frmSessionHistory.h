#pragma once
// TfrmSessionHistory: the sessions kept in the store, newest first. One can be opened read-only
// (its questions' charts and counts), exported as an answers CSV or a gradebook, or deleted;
// the session being recorded is never offered for deletion. The archive is read on a thread of
// its own: a slow database server holds neither this window's painting nor the other windows.

#include "session/PollSession.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

namespace kivra {

class TPollChart;
class TArchiveThread;
class TSessionArchive;
struct TSessionSummary;

class TfrmSessionHistory : public QWidget {
public:
    explicit TfrmSessionHistory(const QString& location, QWidget* parent = nullptr);
    ~TfrmSessionHistory() override;

    //! Reads the list again; false (with the reason shown in the window) when the store cannot be opened.
    bool Reload();
    //! The session being recorded (its uid), which cannot be deleted; empty for none.
    void SetRecordingUid(const QString& uid);

    //! Opens a session read-only and shows its first question; false when it cannot be read.
    bool OpenSession(qint64 id);
    void ShowQuestion(int number);
    //! Deletes a session (not the one being recorded); false when refused or on error.
    bool DeleteSession(qint64 id);
    //! The opened session as an answers CSV or a gradebook; false (and a message) on failure.
    bool ExportAnswers(const QString& path);
    bool ExportGradebook(const QString& path);

    //! Ids in list order.
    std::vector<qint64> ListedIds() const;
    const TPollSession* Opened() const { return opened_ ? &*opened_ : nullptr; }
    TPollChart* Chart() const { return chart_; }
    QString AnsweredText() const;
    QString ErrorText() const;
    bool CanDelete(qint64 id) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    //! Runs call on the archive's thread and waits for it with the event loop running.
    void Read(const std::function<void(TSessionArchive&)>& call);
    qint64 SelectedId() const;
    void UpdateButtons();
    bool WriteFile(const QString& path, const QByteArray& data);

    std::unique_ptr<TArchiveThread> archive_;
    int reading_ = 0;        // Read calls waiting (they nest through the event loop)
    QTimer* busy_ = nullptr; // shows a long read
    std::vector<TSessionSummary> sessions_;
    std::optional<TPollSession> opened_;
    QString recordingUid_;

    QTableWidget* list_ = nullptr;
    QLabel* error_ = nullptr;
    QPushButton* btnOpen_ = nullptr;
    QPushButton* btnDelete_ = nullptr;
    QPushButton* btnCsv_ = nullptr;
    QPushButton* btnGradebook_ = nullptr;
    QLabel* openedTitle_ = nullptr;
    QComboBox* cboQuestion_ = nullptr;
    QLabel* answered_ = nullptr;
    TPollChart* chart_ = nullptr;
};

} // namespace kivra
