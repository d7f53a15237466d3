// Access rules of the console over a real socket: nothing without a login,
// CSRF tokens on every POST, roles, the failed-login limit, cookie flags,
// and TLS.
#include "consoletest.h"
#include "testsupport.h"

#include <QDir>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>

#include <string>

namespace {

// Every page and API route of the console, with the method.
struct RouteCase
{
    const char *method;
    const char *path;
};

const RouteCase kProtected[] = {
    {"GET", "/"},
    {"GET", "/calibration"},
    {"GET", "/records"},
    {"GET", "/workers"},
    {"GET", "/worker"},
    {"GET", "/dosimeter"},
    {"GET", "/static/records.js"},
    {"GET", "/static/records-common.js"},
    {"GET", "/static/workers.js"},
    {"GET", "/static/worker.js"},
    {"GET", "/static/dosimeter.js"},
    {"GET", "/static/rack.js"},
    {"GET", "/static/common.js"},
    {"GET", "/static/calibration.js"},
    {"GET", "/static/chart.min.js"},
    {"GET", "/api/rack"},
    {"GET", "/api/session"},
    {"GET", "/api/calibration"},
    {"GET", "/api/events"},
    {"GET", "/api/events.csv"},
    {"GET", "/api/workers"},
    {"GET", "/api/worker"},
    {"GET", "/api/dosimeter"},
    {"POST", "/api/logout"},
    {"POST", "/api/cell/block"},
    {"POST", "/api/cell/unblock"},
    {"POST", "/api/cell/history"},
    {"POST", "/api/cell/confirm"},
    {"POST", "/api/out"},
    {"POST", "/api/calibration/start"},
    {"POST", "/api/calibration/step"},
    {"POST", "/api/calibration/stop"},
};

const char *const kServiceActions[] = {
    "/api/cell/block", "/api/cell/unblock", "/api/cell/history", "/api/cell/confirm",
    "/api/out", "/api/calibration/start", "/api/calibration/step", "/api/calibration/stop",
};

} // namespace

class TestConsoleSecurity : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_settings;
    int m_port = 0;
    std::unique_ptr<ConsoleProcess> m_console;

    QString writeConsoleSettings(int port, const QStringList &extra = {})
    {
        const QString ram = m_dir.filePath(QStringLiteral("ram"));
        QDir().mkpath(ram);
        const QString path = m_dir.filePath(QStringLiteral("settings-%1.ini").arg(port));
        writeSettings(path, QStringList{QStringLiteral("kas_count_cell=3"), QStringLiteral("Path_RAM=") + ram,
                                        QStringLiteral("tcp_port=%1").arg(freeTcpPort()),
                                        QStringLiteral("console_listen=127.0.0.1:%1").arg(port),
                                        QStringLiteral("console_users=") + m_dir.filePath(QStringLiteral("users"))}
                                + extra);
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_port = freeTcpPort();
        m_settings = writeConsoleSettings(m_port);
        QByteArray out;
        QCOMPARE(addConsoleUser(m_settings, QStringLiteral("tech"), QStringLiteral("technician"), "tech-password", &out), 0);
        QCOMPARE(addConsoleUser(m_settings, QStringLiteral("viewer"), QStringLiteral("viewer"), "view-password", &out), 0);
        // A bad role or a short password is refused and changes nothing.
        QVERIFY(addConsoleUser(m_settings, QStringLiteral("x"), QStringLiteral("admin"), "long-enough", &out) != 0);
        QVERIFY(out.contains("role"));
        QVERIFY(addConsoleUser(m_settings, QStringLiteral("y"), QStringLiteral("viewer"), "short", &out) != 0);
        m_console = std::make_unique<ConsoleProcess>(m_dir.path(), m_settings);
        QVERIFY2(m_console->waitReady(), m_console->log().constData());
    }

    void everyRouteNeedsALogin()
    {
        WebClient anonymous(m_port);
        for (const RouteCase &r : kProtected) {
            const bool post = std::string(r.method) == "POST";
            const WebReply reply = post ? anonymous.post(r.path, {}) : anonymous.get(r.path);
            const bool page = !post && std::string(r.path).rfind("/api/", 0) != 0
                              && std::string(r.path).rfind("/static/", 0) != 0;
            if (page) {
                QVERIFY2(reply.status == 302 && reply.location == "/login", r.path);
            } else {
                QVERIFY2(reply.status == 401, r.path);
                QVERIFY2(reply.body.find("Нужно войти") != std::string::npos, r.path);
            }
        }
        // The login page, its own files and the icon are open.
        QCOMPARE(anonymous.get("/login").status, 200);
        QCOMPARE(anonymous.get("/static/login.js").status, 200);
        QCOMPARE(anonymous.get("/static/app.css").status, 200);
        QCOMPARE(anonymous.get("/favicon.ico").status, 200);
        // A made-up session cookie is no session.
        anonymous.sessionCookie = std::string(64, 'a');
        QCOMPARE(anonymous.get("/api/rack").status, 401);
    }

    void postsNeedTheCsrfToken()
    {
        WebClient tech(m_port);
        QCOMPARE(tech.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        QCOMPARE(tech.get("/api/rack").status, 200);
        for (const char *path : kServiceActions) {
            QVERIFY2(tech.post(path, {{QStringLiteral("cell"), 1}}, false).status == 403, path);
        }
        const std::string good = tech.csrf;
        tech.csrf = std::string(64, '0');
        QCOMPARE(tech.post("/api/calibration/stop", {}).status, 403);
        tech.csrf = good;
        QCOMPARE(tech.post("/api/calibration/stop", {}).status, 200);
        // An oversize body is refused before any handler reads it.
        const QJsonObject huge{{QStringLiteral("cell"), 1}, {QStringLiteral("text"), QString(70000, QLatin1Char('x'))}};
        QCOMPARE(tech.post("/api/cell/block", huge).status, 413);
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("ram/error.ini"))));

        // The login form too: without the token, or with a token not matching its cookie.
        WebClient fresh(m_port);
        fresh.get("/login");
        QCOMPARE(fresh.post("/api/login", {{QStringLiteral("name"), QStringLiteral("tech")},
                                           {QStringLiteral("password"), QStringLiteral("tech-password")}}, false).status,
                 403);
        fresh.csrf = std::string(64, 'b');
        fresh.loginCookie = std::string(64, 'c');
        QCOMPARE(fresh.post("/api/login", {{QStringLiteral("name"), QStringLiteral("tech")},
                                           {QStringLiteral("password"), QStringLiteral("tech-password")}}).status,
                 403);
    }

    void viewerCannotAct()
    {
        WebClient viewer(m_port);
        QCOMPARE(viewer.login(QStringLiteral("viewer"), QStringLiteral("view-password")), 200);
        QCOMPARE(viewer.get("/api/rack").status, 200);
        QCOMPARE(viewer.get("/").status, 200);
        // The dose records are for every account.
        for (const char *page : {"/records", "/workers", "/worker", "/dosimeter"})
            QVERIFY2(viewer.get(page).status == 200, page);
        // Chart.js comes from the system's copy, served by the console itself.
        const WebReply chart = viewer.get("/static/chart.min.js");
        QCOMPARE(chart.status, 200);
        QVERIFY(chart.contentType.rfind("text/javascript", 0) == 0);
        QVERIFY(chart.body.find("Chart") != std::string::npos);
        for (const char *path : kServiceActions) {
            const WebReply r = viewer.post(path, {{QStringLiteral("cell"), 1}, {QStringLiteral("text"), QStringLiteral("x")}});
            QVERIFY2(r.status == 403, path);
        }
        QCOMPARE(viewer.get("/api/calibration").status, 403);
        // The technician's page sends a viewer back to the map.
        const WebReply page = viewer.get("/calibration");
        QCOMPARE(page.status, 302);
        QCOMPARE(page.location, std::string("/"));
        // Nothing reached the state files.
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("ram/error.ini"))));
    }

    void logoutEndsTheSession()
    {
        WebClient tech(m_port);
        QCOMPARE(tech.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        const WebReply out = tech.post("/api/logout", {});
        QCOMPARE(out.status, 200);
        QCOMPARE(tech.get("/api/rack").status, 401);
    }

    void cookieFlags()
    {
        WebClient tech(m_port);
        QCOMPARE(tech.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 200);
        QCOMPARE(int(tech.sessionCookie.size()), 64);
        QVERIFY(tech.sessionCookie.find_first_not_of("0123456789abcdef") == std::string::npos);

        // Log in by hand to see the Set-Cookie lines themselves.
        WebClient byHand(m_port);
        const WebReply form = byHand.get("/login");
        QCOMPARE(int(form.setCookies.size()), 1);
        byHand.loginCookie = cookieFrom(form.setCookies, "console_login_csrf");
        byHand.csrf = byHand.loginCookie;
        const WebReply r = byHand.post("/api/login", {{QStringLiteral("name"), QStringLiteral("viewer")},
                                                      {QStringLiteral("password"), QStringLiteral("view-password")}});
        QCOMPARE(r.status, 200);
        std::string sessionLine;
        for (const std::string &c : r.setCookies)
            if (c.rfind("console_session=", 0) == 0)
                sessionLine = c;
        QVERIFY(sessionLine.find("; HttpOnly") != std::string::npos);
        QVERIFY(sessionLine.find("; SameSite=Strict") != std::string::npos);
        QVERIFY(sessionLine.find("; Path=/") != std::string::npos);
        QVERIFY2(sessionLine.find("Secure") == std::string::npos, sessionLine.c_str());
        QVERIFY(cookieFrom(r.setCookies, "console_session") != tech.sessionCookie);
    }

    // Last: it uses up this address's failures for a minute.
    void sixthFailedLoginIsRefused()
    {
        for (int i = 1; i <= 5; ++i) {
            WebClient c(m_port);
            QVERIFY2(c.login(QStringLiteral("tech"), QStringLiteral("wrong")) == 401, qPrintable(QString::number(i)));
        }
        WebClient sixth(m_port);
        QCOMPARE(sixth.login(QStringLiteral("tech"), QStringLiteral("wrong")), 429);
        // Even the right password waits out the minute.
        WebClient right(m_port);
        QCOMPARE(right.login(QStringLiteral("tech"), QStringLiteral("tech-password")), 429);
    }

    void tlsSessionCookieIsSecure()
    {
        const QString cert = m_dir.filePath(QStringLiteral("cert.pem"));
        const QString key = m_dir.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
                       QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert});
        QVERIFY(openssl.waitForFinished(60000));
        QCOMPARE(openssl.exitCode(), 0);
        const int port = freeTcpPort();
        const QString settings = writeConsoleSettings(
            port, {QStringLiteral("console_cert=") + cert, QStringLiteral("console_key=") + key});
        ConsoleProcess console(m_dir.path(), settings);
        QVERIFY2(console.waitReady(), console.log().constData());
        QVERIFY(console.log().contains("https://127.0.0.1"));

        WebClient plain(port);
        QCOMPARE(plain.get("/login").status, 0);   // no HTTP on the TLS port
        WebClient tls(port, true);
        const WebReply form = tls.get("/login");
        QCOMPARE(form.status, 200);
        QVERIFY(form.setCookies.at(0).find("; Secure") != std::string::npos);
        tls.loginCookie = cookieFrom(form.setCookies, "console_login_csrf");
        tls.csrf = tls.loginCookie;
        const WebReply r = tls.post("/api/login", {{QStringLiteral("name"), QStringLiteral("viewer")},
                                                   {QStringLiteral("password"), QStringLiteral("view-password")}});
        QCOMPARE(r.status, 200);
        bool secure = false;
        for (const std::string &c : r.setCookies)
            if (c.rfind("console_session=", 0) == 0)
                secure = c.find("; Secure") != std::string::npos && c.find("; HttpOnly") != std::string::npos;
        QVERIFY(secure);

        // Only ECDHE key exchange with AEAD ciphers: static RSA, CBC and
        // finite-field DH fail to connect.
        struct Suite { const char *protocol; const char *cipher; bool connects; };
        const Suite suites[] = {
            {"-tls1_2", "AES128-SHA256", false},          // static RSA
            {"-tls1_2", "AES256-GCM-SHA384", false},      // static RSA, even with GCM
            {"-tls1_2", "ECDHE-RSA-AES128-SHA", false},   // CBC with SHA-1
            {"-tls1_2", "ECDHE-RSA-AES256-SHA384", false},
            {"-tls1_2", "DHE-RSA-AES128-GCM-SHA256", false},
            {"-tls1_2", "ECDHE-RSA-AES128-GCM-SHA256", true},
            {"-tls1_2", "ECDHE-RSA-CHACHA20-POLY1305", true},
            {"-tls1_3", "", true},
        };
        for (const Suite &suite : suites) {
            QProcess client;
            QStringList args{QStringLiteral("s_client"), QStringLiteral("-connect"), QStringLiteral("127.0.0.1:%1").arg(port),
                             QLatin1String(suite.protocol)};
            if (*suite.cipher)
                args << QStringLiteral("-cipher") << QLatin1String(suite.cipher);
            client.setProcessChannelMode(QProcess::MergedChannels);
            client.start(QStringLiteral("openssl"), args);
            QVERIFY(client.waitForStarted(5000));
            client.closeWriteChannel();
            QVERIFY(client.waitForFinished(15000));
            const QByteArray out = client.readAll();
            const bool connected = client.exitCode() == 0 && !out.contains("Cipher is (NONE)");
            QVERIFY2(connected == suite.connects, (QByteArray(suite.cipher) + ": " + out.right(300)).constData());
        }
        // The browser is told to keep to HTTPS.
        httplib::Client raw("https://127.0.0.1:" + std::to_string(port));
        raw.enable_server_certificate_verification(false);
        const httplib::Result page = raw.Get("/login");
        QVERIFY(page);
        QCOMPARE(page->get_header_value("Strict-Transport-Security"), std::string("max-age=31536000"));
    }

    void badTlsOrListenSettingsStopTheStart_data()
    {
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("cert without key") << QStringList{QStringLiteral("console_cert=/nonexistent/cert.pem")}
                                          << QByteArray("must be given together");
        QTest::newRow("unreadable cert") << QStringList{QStringLiteral("console_cert=/nonexistent/cert.pem"),
                                                        QStringLiteral("console_key=/nonexistent/key.pem")}
                                         << QByteArray("cannot read /nonexistent/cert.pem");
    }

    void badTlsOrListenSettingsStopTheStart()
    {
        QFETCH(QStringList, extra);
        QFETCH(QByteArray, message);
        const QString settings = writeConsoleSettings(freeTcpPort(), extra);
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral(CABINET_CONSOLE_BIN), {QStringLiteral("--settings"), settings});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(p.readAll().contains(message), message.constData());
    }

    void cleanupTestCase() { m_console.reset(); }
};

QTEST_GUILESS_MAIN(TestConsoleSecurity)
#include "tst_console_security.moc"
