// EventRegistrar: the two things the connection I/O asks of the event loop
// that serves it.
//
// addWriteOnce(fd) puts a one-shot write-readiness registration for fd on
// the loop's change list: the loop reports the socket writable once (through
// onWritable) and then forgets it until the next call. The registration is
// applied with the loop's next wait; the call itself cannot fail (a change the
// loop cannot apply is the loop's to report). Called at most once per blocked
// period: the caller tracks that with waiting_for_writable.
//
// closeConnection(connection) removes the connection from the loop's table
// and destroys it (destroyConnection: the socket closes, which drops its
// registrations, and the record is freed). The record must not be touched
// after the call; the milter functions that can reach it say so in what they
// return.
//
// Both are called only on the thread that runs the loop.
#pragma once

namespace quellsig {

struct MilterConnection;

class EventRegistrar {
 public:
  virtual ~EventRegistrar() = default;
  virtual void addWriteOnce(int fd) = 0;
  virtual void closeConnection(MilterConnection& connection) = 0;
};

}  // namespace quellsig
