#pragma once
// What the benchmark programs share: the CPU time and memory of this process, a
// running hash, tables, and the simulated world they connect in, with a peer of the
// bench's own at one device. The message pump and the device selection are the fault
// trials' (trials/trial_support.h).

#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/datetime.h"
#include "trials/trial_support.h"

#include <cstdint>
#include <string>
#include <vector>

#include <winsock2.h>

namespace kvbench {

using kvtrials::PumpOnce;
using kvtrials::PumpUntil;
using kvtrials::SelectDevice;
using kvtrials::SerialDevice;

// User and kernel time of the whole process, in milliseconds.
double ProcessCpuMs();
// Private bytes (commit charge) of this process.
std::uint64_t ProcessPrivateBytes();

// FNV-1a over a byte stream; two streams with one hash and one length are taken as equal.
class THash {
public:
    void Add(const void* Data, size_t Length);
    std::uint64_t Value() const { return fValue; }

private:
    std::uint64_t fValue = 14695981039346656037ull;
};

// The p-th percentile (0 to 100) of Values, nearest rank; 0 for none.
double Percentile(std::vector<double> Values, double P);

// One line of a table: our figure, the reference measured in the same run, the target.
struct TRow {
    std::string Case;
    double Ours = 0;
    double Reference = 0;
    std::string Target;
    bool Met = false;
    std::string Note;
};
// Prints the table: case, ours, reference, ratio (ours / reference), target, met.
void PrintTable(const std::string& Title, const std::string& Unit, const std::vector<TRow>& Rows);
std::string Fixed(double Value, int Decimals);

// The devices of the bench world.
const BTH_ADDR kBenchPeerDevice = 0x00BE0C000001; // its service's peer is TBenchPeer
const BTH_ADDR kEchoDevice = 0x00BE0C000002;
const unsigned short kSerialPort = 0x1101;

// Listens on 127.0.0.1; the bench world's external peer. Accept hands out the links.
class TBenchPeer {
public:
    TBenchPeer();
    ~TBenchPeer();
    TBenchPeer(const TBenchPeer&) = delete;
    TBenchPeer& operator=(const TBenchPeer&) = delete;

    unsigned short Port() const { return fPort; }
    // The next link (TCP_NODELAY, blocking), or INVALID_SOCKET after TimeoutMs.
    SOCKET Accept(DWORD TimeoutMs = 10000);

private:
    SOCKET fListener = INVALID_SOCKET;
    unsigned short fPort = 0;
};

// A bench program's surroundings: Winsock started, the bench peer listening, and the
// bench world installed; all of it undone at the end.
class TBenchRun {
public:
    TBenchRun();
    ~TBenchRun();
    TBenchPeer& Peer() { return fPeer; }

private:
    struct TWinsock {
        TWinsock();
        ~TWinsock();
    } fWinsock;
    TBenchPeer fPeer;
};

// One radio, a device whose Serial Port service is the external peer at PeerPort, and
// an echo device.
kvsim::TWorld BenchWorld(unsigned short PeerPort);

// A bare RFCOMM socket connected to the device's Serial Port service through the same
// simulated path that TkvBT takes; INVALID_SOCKET on failure.
SOCKET ConnectBare(BTH_ADDR Address);

// Sends all Length bytes on a blocking socket; false when the link fails.
bool SendAll(SOCKET Socket, const char* Data, size_t Length);

// The sending side of a link to the bench peer, to compare the component with a bare
// socket of the same kind: Send goes through Bt's SendData, or a blocking send on the bare
// link. Link is the peer's end, INVALID_SOCKET when the link could not be made. The
// component closes, then both sockets, with the object.
class TSendingEnd {
public:
    TSendingEnd(TBenchPeer& Peer, bool Component);
    ~TSendingEnd();
    TSendingEnd(const TSendingEnd&) = delete;
    TSendingEnd& operator=(const TSendingEnd&) = delete;

    void Send(const void* Data, size_t Length);

    const bool Component;
    TkvBT Bt{nullptr};
    SOCKET Link = INVALID_SOCKET;

private:
    SOCKET fBare = INVALID_SOCKET;
};

} // namespace kvbench
