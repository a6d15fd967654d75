#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace tallyfold::test {

// Distinct, well-formed records of one terminal: address, card, yymmddhhmm.
inline QList<QByteArray> makeRecords(int count, int terminal = 1) {
    QList<QByteArray> records;
    for (int i = 0; i < count; ++i)
        records.append(QByteArray::number(terminal, 16).rightJustified(2, '0').toUpper() +
                       QByteArray::number(i).rightJustified(6, '0') + "2405061130");
    return records;
}

// The source file the link writes for these records.
inline QByteArray asSourceFile(const QList<QByteArray>& records) {
    QByteArray text;
    for (const QByteArray& record : records)
        text += record + "\r\n";
    return text;
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

}  // namespace tallyfold::test
