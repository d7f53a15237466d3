// cabinet_console: the operator console of the rack in the browser.
#include "accounts.h"
#include "hubid.h"
#include "log.h"
#include "routes.h"
#include "settings.h"
#include "webserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

// One line from standard input; with echo off when it is a terminal.
bool readSecretLine(const char *prompt, std::string *out)
{
    const bool tty = isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        std::fprintf(stderr, "%s", prompt);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = bool(std::getline(std::cin, *out));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!out->empty() && out->back() == '\r')
        out->pop_back();
    return ok;
}

int addUser(const QString &name, const QString &roleText)
{
    std::string password;
    if (!readSecretLine("Password: ", &password)) {
        std::fprintf(stderr, "cabinet_console: no password given\n");
        return 1;
    }
    if (isatty(STDIN_FILENO)) {
        std::string again;
        if (!readSecretLine("Password again: ", &again) || again != password) {
            std::fprintf(stderr, "cabinet_console: the passwords differ\n");
            return 1;
        }
    }
    const QString error = accounts::addOrReplace(G_console_users, name, accounts::roleFromText(roleText),
                                                 QByteArray::fromStdString(password));
    sodium_memzero(&password[0], password.size());
    if (!error.isEmpty()) {
        std::fprintf(stderr, "cabinet_console: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("account %s (%s) written to %s\n", qPrintable(name), qPrintable(roleText),
                qPrintable(G_console_users));
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cabinet_console"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVIK_VERSION));
    installLogFormat();
    if (sodium_init() < 0) {
        std::fprintf(stderr, "cabinet_console: libsodium cannot start\n");
        return 1;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Operator console of the dosimeter rack in the browser.\n"
        "--add-user NAME ROLE adds an account (role viewer or technician) to the accounts file named by\n"
        "console_users and reads its password from the terminal, or from standard input when that is not one;\n"
        "a new password also lifts the account's login lock-out. --remove-user NAME removes an account;\n"
        "a running console ends its sessions at their next request."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption settingsOption(QStringLiteral("settings"),
        QStringLiteral("The controller's settings file (default: settings.ini in the working directory)."),
        QStringLiteral("FILE"), QStringLiteral("settings.ini"));
    QCommandLineOption hubOption(QStringLiteral("hub"),
        QStringLiteral("The controller's hub.ini (default: hub.ini in the working directory)."),
        QStringLiteral("FILE"), QStringLiteral("hub.ini"));
    QCommandLineOption addUserOption(QStringLiteral("add-user"),
        QStringLiteral("Add or replace an account: --add-user NAME ROLE."), QStringLiteral("NAME"));
    QCommandLineOption removeUserOption(QStringLiteral("remove-user"),
        QStringLiteral("Remove an account: --remove-user NAME."), QStringLiteral("NAME"));
    parser.addOptions({settingsOption, hubOption, addUserOption, removeUserOption});
    parser.addPositionalArgument(QStringLiteral("ROLE"), QStringLiteral("with --add-user: viewer or technician"));
    parser.process(app);

    G_settings_file = parser.value(settingsOption);
    if (!QFileInfo::exists(G_settings_file))
        logLine(QStringLiteral("console: no settings file %1, built-in values are used").arg(G_settings_file));
    readPortSettings();
    StartSettings();
    readConsoleSettings();
    readJournalSettings();
    bool ok = false;
    const int udevTimeout = qEnvironmentVariableIntValue("CABINET_UDEVADM_TIMEOUT_MS", &ok);
    if (ok && udevTimeout > 0)
        G_udevadm_timeout_ms = udevTimeout;

    if (parser.isSet(addUserOption)) {
        if (parser.positionalArguments().size() != 1) {
            std::fprintf(stderr, "usage: cabinet_console [--settings FILE] --add-user NAME viewer|technician\n");
            return 2;
        }
        return addUser(parser.value(addUserOption), parser.positionalArguments().first());
    }

    if (parser.isSet(removeUserOption)) {
        const QString error = accounts::remove(G_console_users, parser.value(removeUserOption));
        if (!error.isEmpty()) {
            std::fprintf(stderr, "cabinet_console: %s\n", qPrintable(error));
            return 1;
        }
        std::printf("account %s removed from %s\n", qPrintable(parser.value(removeUserOption)),
                    qPrintable(G_console_users));
        return 0;
    }

    sessions::Store sessionStore;
    sessions::LoginLimiter limiter;
    accounts::Directory directory(G_console_users);
    controllerlink::Link controller(QStringLiteral("127.0.0.1"), G_tcp_port, G_console_controller_timeout_s * 1000);
    console::Context context;
    context.controller = &controller;
    context.accountsFile = G_console_users;
    context.accounts = &directory;
    context.hubFile = parser.value(hubOption);
    context.sessions = &sessionStore;
    context.limiter = &limiter;
    context.journal = journalSourceFromSettings();
    logLine(QStringLiteral("console: dose records from ") + context.journal.describe());
    if (!QFileInfo::exists(G_console_users))
        logLine(QStringLiteral("console: the accounts file %1 does not exist; add an account with "
                               "cabinet_console --add-user NAME ROLE").arg(G_console_users));

    WebServer server(context, console::buildRoutes(context));
    server.setAllowedHosts(G_console_hosts);
    QString error;
    if (!server.bind(G_console_listen, G_console_cert, G_console_key, &error)) {
        std::fprintf(stderr, "cabinet_console: %s\n", qPrintable(error));
        return 1;
    }
    QString host;
    int port = 0;
    splitListen(G_console_listen, &host, &port);
    logLine(QStringLiteral("console listening on %1://%2:%3")
                .arg(G_console_cert.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"), host)
                .arg(server.boundPort()));
    logLine(QStringLiteral("console: Host names accepted: ") + server.allowedHosts().join(QStringLiteral(", ")));
    server.serve();
    return 0;
}
