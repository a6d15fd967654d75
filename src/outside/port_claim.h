#pragma once

#include "outside/host_folder.h"

#include <QHash>
#include <QString>
#include <functional>

namespace tallyfold {

// One port, many hands: the follower keeps a port open between its rounds and lends it to any
// operation that asks, the window's or the command's, on this machine or another sharing the host
// folder. Two kernel locks on files beside the record files say who holds the port and who waits
// for it; both die with their process, so a kill -9 on either side leaves nothing to clear up.
class PortClaim {
public:
    PortClaim(const HostSettings& host, int port);
    ~PortClaim();
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    // An operation's: waits at most `boundMs` for whoever holds the port to hand it over, telling
    // `tell` once who that is, and giving up when `stop` says so. Empty when the port is this
    // claim's, else why not.
    QString borrow(const std::function<bool()>& stop, const std::function<void(const QString&)>& tell, int boundMs);
    // What the follower had stored when it lent the port: address -> first number not stored (nor
    // journaled). Empty when nobody followed the port.
    const QHash<QString, quint32>& lent() const { return lent_; }

    // The follower's: takes the port unless an operation holds it or waits for it, saying below which
    // number each terminal's records are stored.
    bool take(const QHash<QString, quint32>& storedBelow);
    // Somebody waits for the port this claim holds.
    bool wanted() const;
    // Leaves what it stored for the borrower and lets go of the port.
    void lend(const QHash<QString, quint32>& storedBelow);

    void release();
    // A follower that stops cleanly: a clear by hand is whole again.
    void forget();

private:
    QString holder() const;
    static QByteArray positionLines(const QHash<QString, quint32>& storedBelow);
    void writeHolder(const QByteArray& more = {});

    int port_;
    QString holdPath_;
    QString wantPath_;
    int holdFd_ = -1;
    int wantFd_ = -1;
    bool holding_ = false;
    bool following_ = false;  // the follower's claim, which lends; an operation's does not
    QHash<QString, quint32> lent_;
};

}  // namespace tallyfold
