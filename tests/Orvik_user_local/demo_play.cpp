// A scripted walk through the terminal for machines without a display: the
// real main window logs demo workers in by keypad, by card file and by
// barcode file, shows one refusal, prints what the screens show and saves
// PNG grabs. Runs in the terminal's folder against the database given by the
// PG* variables; ORVIK_PATH_RAM is the folder the reader files are written to
// (see scripts/demo-terminal).
//   terminal_demo_play OUTDIR
#include "cell.h"
#include "codewatcher.h"
#include "globals.h"
#include "login.h"
#include "mainwindow.h"
#include "pictures.h"
#include "screentools.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSaveFile>
#include <QStatusBar>
#include <QTest>
#include <cstdio>

static void say(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

static QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QStringLiteral(" | "));
}

// Clicks keypad keys: digits, '<' backspace, '>' Enter.
static void press(QWidget *w, const QString &keys)
{
    for (const QChar k : screentools::press(w, keys))
        say(QStringLiteral("  key %1 could not be pressed").arg(k));
}

// Grabs a window at its form's nominal size or, with an empty size, as it
// is shown on the screen.
static bool save(QWidget *w, const QString &dir, const QString &name, QSize size)
{
    const QString path = screentools::grab(w, dir, name, size);
    say(QStringLiteral("  %1 %2").arg(path.isEmpty() ? QStringLiteral("could not write") : QStringLiteral("screen:"),
                                       dir + QLatin1Char('/') + name));
    return !path.isEmpty();
}

static QString labelText(QWidget *w, const char *name)
{
    const QLabel *l = w->findChild<QLabel *>(QLatin1String(name));
    return l ? l->text() : QStringLiteral("(no label %1)").arg(QLatin1String(name));
}

// Which picture the photo field shows: the worker's own, the default one or none.
static QString photoKind(cell *dialog, bool *own)
{
    *own = false;
    const QLabel *foto = dialog->findChild<QLabel *>(QStringLiteral("foto"));
    if (!foto || foto->pixmap(Qt::ReturnByValue).isNull())
        return QStringLiteral("none");
    const QImage shown = foto->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_ARGB32);
    for (const QString &fallback : {Pictures::DefaultPhoto, Pictures::Placeholder}) {
        const QImage picture = scaledPicture(fallback, 55, Qt::FastTransformation).toImage().convertToFormat(QImage::Format_ARGB32);
        if (!picture.isNull() && picture == shown)
            return QStringLiteral("default picture (%1)").arg(fallback);
    }
    *own = true;
    return QStringLiteral("own photo, %1x%2").arg(shown.width()).arg(shown.height());
}

// Waits for the cell dialog, prints and grabs it, then hands back by the
// error-report button, as a worker does once the countdown has run out.
static bool showCell(MainWindow &w, const QString &dir, const QString &png, bool wantPhoto, int waitMs)
{
    cell *dialog = w.cellDialog();
    if (!QTest::qWaitFor([dialog] { return dialog->isVisible(); }, waitMs)) {
        say(QStringLiteral("  FAILED: no cell dialog; status bar: \"%1\"").arg(w.statusBar()->currentMessage()));
        return false;
    }
    bool own = false;
    say(QStringLiteral("  cell:  %1").arg(oneLine(labelText(dialog, "label_cell"))));
    say(QStringLiteral("  name:  %1").arg(oneLine(labelText(dialog, "label_fio"))));
    say(QStringLiteral("  photo: %1").arg(photoKind(dialog, &own)));
    bool ok = own == wantPhoto;
    if (!ok)
        say(QStringLiteral("  FAILED: expected %1").arg(wantPhoto ? QStringLiteral("the worker's photo")
                                                                  : QStringLiteral("the default picture")));
    for (int i = 0; i < 11; ++i)
        QMetaObject::invokeMethod(dialog, "slotTimerAlarm_cell");
    // The rack table is sized for the screen when the dialog opens, so the
    // dialog is grabbed at the screen's size.
    ok &= save(dialog, dir, png, QSize());
    QPushButton *report = dialog->findChild<QPushButton *>(QStringLiteral("pushButton_error"));
    if (report && report->isVisible()) {
        QTest::mouseClick(report, Qt::LeftButton);
    } else {
        say(QStringLiteral("  the error-report button is not shown; closing the dialog"));
        dialog->close();
        w.slotCloseCell();
    }
    QApplication::processEvents();
    if (dialog->isVisible() || !w.isVisible()) {
        say(QStringLiteral("  FAILED: the main screen did not come back"));
        return false;
    }
    return ok;
}

// Writes a code into a reader file the way a reader does: the whole file at once.
static bool writeReaderFile(const QString &name, const QByteArray &code)
{
    const QString path = G_Path_RAM + QLatin1Char('/') + name;
    QSaveFile f(path);
    const bool ok = f.open(QIODevice::WriteOnly) && f.write(code) == code.size() && f.commit();
    say(QStringLiteral("  %1 %2 > %3").arg(ok ? QStringLiteral("wrote") : QStringLiteral("FAILED to write"),
                                              QString::fromLatin1(code), path));
    return ok;
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    applyEnvironment();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("demo-screens");
    if (!QDir().mkpath(out)) {
        say(QStringLiteral("cannot create %1").arg(out));
        return 1;
    }
    if (!QDir(G_Path_RAM).exists() && !QDir().mkpath(G_Path_RAM)) {
        say(QStringLiteral("cannot create %1").arg(G_Path_RAM));
        return 1;
    }
    // The reader polls once a second; a login takes a few database round trips.
    const int readerWaitMs = 6000;
    int failures = 0;

    MainWindow w;
    w.showFullScreen();
    QApplication::processEvents();
    if (!save(&w, out, QStringLiteral("0-idle.png"), QSize(533, 800)))
        ++failures;
    w.showFullScreen();

    say(QStringLiteral("1. Keypad: 1001 and Enter"));
    press(&w, QStringLiteral("1001>"));
    if (!showCell(w, out, QStringLiteral("1-keypad.png"), true, 3000))
        ++failures;

    say(QStringLiteral("2. Card reader"));
    if (!writeReaderFile(CodeFileWatcher::CardFile, "04A1B2C3D4")
        || !showCell(w, out, QStringLiteral("2-card.png"), true, readerWaitMs))
        ++failures;

    say(QStringLiteral("3. Barcode scanner"));
    if (!writeReaderFile(CodeFileWatcher::BarcodeFile, "343630373030313233343536370D")
        || !showCell(w, out, QStringLiteral("3-barcode.png"), true, readerWaitMs))
        ++failures;

    say(QStringLiteral("4. Keypad: 1009 (a worker without a photo) and Enter"));
    press(&w, QStringLiteral("1009>"));
    if (!showCell(w, out, QStringLiteral("4-no-photo.png"), false, 3000))
        ++failures;

    say(QStringLiteral("5. Keypad: 1003 (a blocked worker) and Enter"));
    press(&w, QStringLiteral("1003>"));
    const QLabel *message = w.findChild<QLabel *>(QStringLiteral("label_message"));
    if (w.cellDialog()->isVisible() || !message || !message->isVisible()) {
        say(QStringLiteral("  FAILED: no refusal shown"));
        ++failures;
    } else {
        say(QStringLiteral("  refusal: %1").arg(oneLine(w.statusBar()->currentMessage())));
        if (!save(&w, out, QStringLiteral("5-refusal.png"), QSize(533, 800)))
            ++failures;
    }

    say(failures == 0 ? QStringLiteral("All steps passed.")
                      : QStringLiteral("%1 step(s) failed.").arg(failures));
    return failures == 0 ? 0 : 1;
}
