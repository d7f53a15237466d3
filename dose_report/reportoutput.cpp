#include "reportoutput.h"

#include <QStringList>

namespace {

QString cellText(const QVariant &v)
{
    if (!v.isValid() || v.isNull())
        return QString();
    if (v.type() == QVariant::Double)
        return QString::number(v.toDouble(), 'g', 12);
    return v.toString();
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

QByteArray csv(const JournalTable &table)
{
    QStringList lines;
    QStringList header;
    for (const QString &c : table.columns)
        header << csvField(c);
    lines << header.join(QLatin1Char(','));
    for (const QVariantList &row : table.rows) {
        QStringList fields;
        for (int i = 0; i < table.columns.size(); ++i)
            fields << csvField(cellText(row.value(i)));
        lines << fields.join(QLatin1Char(','));
    }
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

// One line per row, columns padded to their widest value; line feeds inside
// a value (history texts, replies) are shown as blanks.
QByteArray text(const JournalTable &table)
{
    QVector<QStringList> cells;
    cells << table.columns;
    for (const QVariantList &row : table.rows) {
        QStringList line;
        for (int i = 0; i < table.columns.size(); ++i)
            line << cellText(row.value(i)).replace(QLatin1Char('\n'), QLatin1Char(' '));
        cells << line;
    }
    QVector<int> widths(table.columns.size(), 0);
    for (const QStringList &line : cells) {
        for (int i = 0; i < line.size(); ++i)
            widths[i] = qMax(widths[i], line.at(i).size());
    }
    QString out;
    for (const QStringList &line : cells) {
        QStringList padded;
        for (int i = 0; i < line.size(); ++i)
            padded << (i + 1 < line.size() ? line.at(i).leftJustified(widths[i]) : line.at(i));
        QString text = padded.join(QStringLiteral("  "));
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        out += text + QLatin1Char('\n');
    }
    return out.toUtf8();
}

} // namespace

QByteArray formatTable(const JournalTable &table, ReportFormat format)
{
    switch (format) {
    case ReportFormat::Csv: return csv(table);
    case ReportFormat::Json: return tableToJson(table);
    case ReportFormat::Text: break;
    }
    return text(table);
}
