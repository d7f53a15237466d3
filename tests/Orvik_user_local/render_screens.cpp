// Renders the terminal's screens to PNG files for review, each as it sits
// full screen on the screen of the platform (scripts/render-screens picks
// the panel sizes). Runs in the terminal's folder against the demo database
// given by the PG* variables.
#include "screentour.h"
#include "selfservicetour.h"

#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    applyEnvironment();
    G_Cell_idle_seconds = 0;
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screens");
    QDir().mkpath(out);
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    const QString suffix = QStringLiteral("-%1x%2.png").arg(screen.width()).arg(screen.height());
    bool ok = true;

    MainWindow w;
    const screentools::ScreenVisitor save = [&](const QString &name, QWidget *window) {
        const QString path = out + QLatin1Char('/') + name + suffix;
        const bool saved = window->grab().save(path, "PNG");
        std::fprintf(stderr, "%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
        ok = ok && saved;
    };
    QString error = screentools::tourScreens(w, save);
    if (error.isEmpty())
        error = screentools::tourSelfServiceScreens(save);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    return ok ? 0 : 1;
}
