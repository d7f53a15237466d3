#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

class QTimer;

// Watches the files that the card reader and the barcode scanner write
// ("CARD_READER.ini" and "barcode.ini" in one folder) by polling them, and
// reports every new code: kind 1 for a card, kind 2 for a scanned code.
// Codes already in the files when the watcher starts are not reported.
// A file is trusted only when it is a plain file (no link) owned by the
// readers' account, by root or by the terminal's own account, and not
// writable by others; any other file is ignored and the reason logged.
class CodeFileWatcher : public QObject
{
    Q_OBJECT

public:
    explicit CodeFileWatcher(const QString &folder, QObject *parent = nullptr);

    void start(int intervalMs = 1000);

    static const QString CardFile;
    static const QString BarcodeFile;
    // The account that runs card_reader and barcode_reader.
    static const QString ReadersAccount;

    // Why a reader file must not be trusted, or the empty text when it may.
    static QString distrust(const QString &path);

public slots:
    void poll();

signals:
    void codeRead(int kind, const QString &code);

private:
    struct Seen {
        bool exists = false;
        QDateTime modified;
        qint64 size = -1;
        QByteArray content;
    };
    // True when the file differs from what was seen last; updates seen.
    bool changed(const QString &name, Seen &seen);

    QString m_folder;
    Seen m_card;
    Seen m_barcode;
    QTimer *m_timer;
};
