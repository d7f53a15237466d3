#pragma once

// The self-service issue after a granted login: the optional work order, the
// worker's budget and thresholds, the issue command, the cell to take the
// dosimeter from, and cell_free until it is taken or the time is up. The
// database and controller steps run on worker threads with short time-outs;
// the screen stays live. The flow ends with finished() (back to the main
// screen) or failed() (back with a notice for the worker).

#include "issuesteps.h"
#include "login.h"
#include "selfservice.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

class IssueScreen;
class QTimer;

class IssueFlow : public QObject
{
    Q_OBJECT

public:
    explicit IssueFlow(const SelfServiceSettings &settings, QObject *parent = nullptr);
    ~IssueFlow() override;

    const SelfServiceSettings &settings() const { return m_settings; }
    IssueScreen *screen() const { return m_screen; }
    bool isRunning() const { return m_stage != Stage::Idle; }

    // Takes over after a granted login and shows the screen full screen; the
    // caller closes the main window afterwards.
    void start(const UserRow &user, const CellRow &cell);

signals:
    void finished();
    void failed(const QString &notice);

private:
    enum class Stage { Idle, Order, Budget, Issuing, Taking };

    void askBudget();
    void budgetRead(const WorkerBudget &budget);
    void issued(const IssueResult &result);
    void poll();
    void polled(TakeState state);
    void closeRequested();
    // Ends the flow; a non-empty notice goes to the worker on the main screen.
    void end(const QString &notice);
    int secondsLeft() const;
    // Runs work on a worker thread and done with its result on this thread,
    // unless the flow has ended or started anew meanwhile.
    template <typename T>
    void runAsync(std::function<T()> work, std::function<void(const T &)> done);

    SelfServiceSettings m_settings;
    IssueScreen *m_screen;
    QTimer *m_pollTimer;
    QElapsedTimer m_takeClock;
    Stage m_stage = Stage::Idle;
    quint64 m_run = 0;          // which start() a result belongs to
    UserRow m_user;
    CellRow m_cell;
    QString m_order;
    WorkerBudget m_budget;
    IssueResult m_issue;
    bool m_pollBusy = false;
};
