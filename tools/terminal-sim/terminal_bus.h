#pragma once

#include "outside/serial/device_protocol.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>
#include <random>

namespace tallyfold::sim {

struct BusOptions {
    // Address -> record file; an empty path is a terminal without records.
    QHash<int, QString> terminals;
    QSet<int> silent;
    QSet<int> failClear;
    int garblePercent = 0;
    int nakPercent = 0;
    quint32 seed = 1;
    std::optional<int> cutAfter;
    // How many transfers cutAfter cuts, each after that many records.
    int cutTimes = 1;
    // Like cutAfter, but the connection is hung up instead and the terminal goes on answering.
    std::optional<int> dropAfter;
    QString stateDir;
};

// The terminals sharing one line: turns each request into the addressed
// terminal's answer, with the faults the options ask for.
class TerminalBus {
public:
    struct Answer {
        QByteArray bytes;
        QStringList events;
        // Close the connection once these bytes are out.
        bool hangUp = false;
    };

    explicit TerminalBus(BusOptions options);

    bool load(QString* error);
    // Empty when nobody answers: unknown or silent address, or a cut transfer.
    std::optional<Answer> handle(const serial::Frame& request);

private:
    struct Terminal {
        QList<QByteArray> records;
        // Records sent since the last count request; a cut waits for the next count.
        qint64 passSent = 0;
        bool cut = false;
    };

    std::optional<Answer> serve(int address, Terminal& terminal, const serial::Frame& request);
    bool roll(int percent);
    void garble(QByteArray& bytes);
    bool dump(int address, const Terminal& terminal);

    BusOptions options_;
    QHash<int, Terminal> terminals_;
    std::mt19937 random_;
    int cutsMade_ = 0;
    bool dropUsed_ = false;
};

}  // namespace tallyfold::sim
