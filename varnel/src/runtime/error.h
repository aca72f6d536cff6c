#pragma once
// The two kinds of failure the library reports. Every operation checks its
// preconditions first and throws before it changes anything.
#include <stdexcept>
#include <string>

namespace varnel {

// A broken precondition of a library call (bad parameter, bad buffer length,
// unknown position, duplicate id). The Python layer raises PanicException
// with the message unchanged.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A bad argument of an optional-feature call (a filter position out of
// range, an unknown metric name, an absent id to remove). The Python layer
// raises ValueError, since these are ordinary caller mistakes.
class ArgumentError : public Error {
 public:
  using Error::Error;
};

// A call that would have to wait for a lock its own thread holds: made from
// inside an interrupt check (in Python, a signal handler) while another call
// of the library runs on the same thread. The Python layer raises
// RuntimeError; waiting would hang the process.
class ReentrantCall : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request whose result could never fit in this machine's memory (say,
// 20,000 queries with k of a million). Refused before anything is
// allocated; the Python layer raises MemoryError with the message.
class MemoryLimitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failed file operation or a malformed index file. The Python layer raises
// a plain OSError with the message as its only argument.
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace varnel
