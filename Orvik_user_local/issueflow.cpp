#include "issueflow.h"

#include "issuescreen.h"
#include "pictures.h"

#include <QDebug>
#include <QFutureWatcher>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

IssueFlow::IssueFlow(const SelfServiceSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_screen(new IssueScreen)
    , m_pollTimer(new QTimer(this))
{
    m_pollTimer->setSingleShot(true);
    connect(m_pollTimer, &QTimer::timeout, this, &IssueFlow::poll);
    connect(m_screen, &IssueScreen::orderEntered, this, [this](const QString &order) {
        if (m_stage != Stage::Order)
            return;
        m_order = order;
        askBudget();
    });
    connect(m_screen, &IssueScreen::closeRequested, this, &IssueFlow::closeRequested);
    qDebug() << "self-service issue on, controller" << m_settings.controller.text() << "rack"
             << (m_settings.gammaNeutron ? "1300GN" : "1300") << "uid from users." + m_settings.annualDoseKey;
}

IssueFlow::~IssueFlow()
{
    delete m_screen;
}

template <typename T>
void IssueFlow::runAsync(std::function<T()> work, std::function<void(const T &)> done)
{
    auto *watcher = new QFutureWatcher<T>(this);
    const quint64 run = m_run;
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, run, done]() {
        watcher->deleteLater();
        if (run == m_run && m_stage != Stage::Idle)
            done(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(work));
}

void IssueFlow::start(const UserRow &user, const CellRow &cell)
{
    ++m_run;
    m_user = user;
    m_cell = cell;
    m_order.clear();
    m_budget = WorkerBudget();
    m_issue = IssueResult();
    m_takeClock.start();
    m_screen->showWorker(user.name, Pictures::DefaultPhoto);
    if (m_settings.orderKeypad) {
        m_stage = Stage::Order;
        m_screen->showOrderStep();
    } else {
        askBudget();
    }
    m_screen->show();
    m_screen->showFullScreen();
    m_screen->setPhoto(LoginEngine::cachePhoto(user.userId));
    if (m_stage == Stage::Order)
        m_pollTimer->start(m_settings.takeTimeoutMs);   // a worker who walked away
}

void IssueFlow::askBudget()
{
    m_pollTimer->stop();
    m_stage = Stage::Budget;
    m_screen->showIssuing(m_cell.height.trimmed().toInt(), m_cell.width.trimmed().toInt());
    const DatabaseParams db = DatabaseParams::current();
    const QString userId = m_user.userId;
    const QString key = m_settings.annualDoseKey;
    runAsync<WorkerBudget>([db, userId, key]() { return readWorkerBudget(db, userId, key); },
                           [this](const WorkerBudget &b) { budgetRead(b); });
}

void IssueFlow::budgetRead(const WorkerBudget &budget)
{
    if (!budget.read) {
        end(LoginText::DbError);
        return;
    }
    m_budget = budget;
    if (budget.found)
        m_screen->showDose(budget.current, budget.permitted, budget.left(), m_settings.doseUnit);
    const QString refusal = budgetRefusal(budget, m_settings.doseUnit, m_user.name);
    if (!refusal.isEmpty()) {
        qDebug() << "self-service: no issue for user" << m_user.userId << "uid" << budget.uid << ":" << refusal;
        end(refusal);
        return;
    }
    const IssueThresholds t =
        budgetThresholds(m_settings.levels, budget.permitted, budget.current, m_settings.gammaNeutron);
    const QJsonObject request =
        issueRequest(m_settings, budget.uid, dosimeterName(m_user.name), m_order, t);
    qDebug() << "self-service issue:" << request;
    m_stage = Stage::Issuing;
    const controllerclient::Address address = m_settings.controller;
    controllerclient::Timeouts timeouts;
    timeouts.replyMs = m_settings.issueTimeoutMs;
    runAsync<IssueResult>(
        [address, request, timeouts]() { return interpretIssueReply(controllerclient::send(address, request, timeouts)); },
        [this](const IssueResult &r) { issued(r); });
}

void IssueFlow::issued(const IssueResult &result)
{
    if (!result.issued) {
        qDebug() << "self-service issue failed:" << result.logText;
        end(result.notice);
        return;
    }
    if (!result.logText.isEmpty())
        qDebug() << "self-service issue: controller reports" << result.logText;
    qDebug() << "self-service: dosimeter" << result.number << "waits in cell" << result.cell;
    m_issue = result;
    m_stage = Stage::Taking;
    m_takeClock.restart();
    m_screen->showTake(result.cell, m_cell.height.trimmed().toInt(), m_cell.width.trimmed().toInt());
    m_screen->setStatus(IssueText::takeStatus(secondsLeft()));
    m_pollTimer->start(m_settings.pollMs);
}

int IssueFlow::secondsLeft() const
{
    return int(qMax<qint64>(0, (m_settings.takeTimeoutMs - m_takeClock.elapsed() + 999) / 1000));
}

void IssueFlow::poll()
{
    if (m_stage == Stage::Order) {
        qDebug() << "self-service: no work order typed, back to the main screen";
        end(QString());
        return;
    }
    if (m_stage != Stage::Taking || m_pollBusy)
        return;
    m_pollBusy = true;
    const controllerclient::Address address = m_settings.controller;
    const QJsonObject request = cellFreeRequest(m_issue.number, m_issue.cell);
    controllerclient::Timeouts timeouts;
    timeouts.replyMs = 5000;
    runAsync<TakeState>(
        [address, request, timeouts]() { return interpretCellFree(controllerclient::send(address, request, timeouts)); },
        [this](const TakeState &s) { polled(s); });
}

void IssueFlow::polled(TakeState state)
{
    m_pollBusy = false;
    if (state == TakeState::Taken) {
        qDebug() << "self-service: dosimeter" << m_issue.number << "taken from cell" << m_issue.cell;
        end(QString());
        return;
    }
    if (state == TakeState::Unknown)
        qDebug() << "self-service: cell_free of cell" << m_issue.cell << "got no answer";
    if (m_takeClock.elapsed() >= m_settings.takeTimeoutMs) {
        qDebug() << "self-service: dosimeter" << m_issue.number << "not taken from cell" << m_issue.cell;
        end(IssueText::notTaken(m_issue.cell));
        return;
    }
    m_screen->setStatus(IssueText::takeStatus(secondsLeft()));
    m_pollTimer->start(m_settings.pollMs);
}

void IssueFlow::closeRequested()
{
    // While the controller programs a dosimeter the worker waits for its answer.
    if (m_stage == Stage::Budget || m_stage == Stage::Issuing)
        return;
    if (m_stage == Stage::Taking)
        qDebug() << "self-service: screen closed, dosimeter" << m_issue.number << "left in cell" << m_issue.cell;
    end(QString());
}

void IssueFlow::end(const QString &notice)
{
    if (m_stage == Stage::Idle)
        return;
    m_stage = Stage::Idle;
    m_pollBusy = false;
    ++m_run;
    m_pollTimer->stop();
    if (notice.isEmpty())
        emit finished();
    else
        emit failed(notice);
    m_screen->hide();
}
