#pragma once
// Serial front end: a SimModule at the end of a pseudo-terminal, standing in for a module on a
// serial line. The simulator owns the master side; the host opens the slave path as a serial
// port (aStream_CreateSerial) and may close and reopen it as often as it likes.
//
// The line is raw (no echo, no character translation). The simulator keeps a descriptor of the
// slave side open itself, so that the master never reports a hang-up while no host has the port
// open. Like a serial line, output that nobody reads is lost once the terminal's buffer is full.
// A module disconnect (SimModule::Disconnect) hangs the line up: the pty is closed, the host's
// reads fail, and Open() makes a new one (with a new slave path).

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimModule.h"
#include "aError.h"

namespace sim::tessaline {

class SimPty {
  public:
    explicit SimPty(std::shared_ptr<SimModule> module);
    ~SimPty();  // Close()
    SimPty(const SimPty&) = delete;
    SimPty& operator=(const SimPty&) = delete;

    // Creates the pseudo-terminal and starts serving it. aErrBusy when open; aErrResource when
    // no pseudo-terminal or thread can be had; aErrIO when it can't be configured.
    aErr Open();

    // Hangs the line up and closes the pseudo-terminal. No effect when closed.
    void Close();

    bool IsOpen() const;

    // The path the host opens ("" while closed).
    std::string SlavePath() const;

    // Bytes of module output the line could not take (nobody read them).
    uint64_t BytesLost() const;

  private:
    void Run();
    void HangUp();  // server thread

    const std::shared_ptr<SimModule> module_;

    mutable std::mutex mutex_;  // guards the fields below
    int master_ = -1;
    int slave_ = -1;  // the simulator's own descriptor of the slave side
    int wakeRead_ = -1, wakeWrite_ = -1;
    bool open_ = false;
    bool hangUp_ = false;  // asked for by a module disconnect
    std::string slavePath_;
    uint64_t lost_ = 0;
    uint64_t token_ = 0;
    std::thread thread_;
    std::mutex lifecycle_;  // serialises Open and Close
};

}  // namespace sim::tessaline
