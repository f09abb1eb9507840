#pragma once
// An X display connection shared by the X11 backends, and the process-wide handling of Xlib
// errors: a failed request becomes a failed call on the connection that made it, never an exit.
#include <X11/Xlib.h>

#include <memory>
#include <string>

namespace kalto::x11 {

// One connection to an X server. Xlib is made thread-safe (XInitThreads) before the first one
// opens, so a connection may be used from several threads; callers still serialise sequences
// whose replies or errors they inspect.
class Connection {
 public:
  // `name` empty means $DISPLAY. Null when the display cannot be opened.
  static std::shared_ptr<Connection> Open(const std::string& name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* get() const { return m_display; }
  Window Root() const { return DefaultRootWindow(m_display); }
  const std::string& Name() const { return m_name; }
  // True once the server connection was lost. Make no Xlib call on it after that: after an
  // I/O error, Xlib can block for ever on its display lock.
  bool Broken() const;
  static bool DisplayBroken(Display* display);

  // What a display name resolves to: `name`, else $DISPLAY, else "".
  static std::string ResolveName(const std::string& name);

 private:
  Connection(Display* display, std::string name) : m_display(display), m_name(std::move(name)) {}
  Display* m_display;
  std::string m_name;
};

// Records X errors raised on one display while it lives. Errors outside any trap are logged
// and otherwise ignored. The trap does not sync on entry: an error of an earlier request that
// had no reply yet may be reported here; XSync first where that matters.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // The first error code raised since the trap was set (Success when none). With `sync`, waits
  // for the server to process every request sent so far first.
  int Error(bool sync = true);

 private:
  Display* m_display;
};

// A property of a window as raw items (8, 16 or 32 bits; 32-bit items are longs, as Xlib
// returns them). Empty when absent.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  std::shared_ptr<unsigned char> data;
  bool Empty() const { return count == 0 || !data; }
  long Long(unsigned long index) const { return reinterpret_cast<const long*>(data.get())[index]; }
};
Property GetProperty(Display* display, Window window, Atom property, Atom type = AnyPropertyType,
                     long maxLongs = 1 << 16);

// An X resource freed with the matching call when the owner goes.
struct XFreeDeleter {
  void operator()(void* p) const {
    if (p) XFree(p);
  }
};
template <typename T>
using XPtr = std::unique_ptr<T, XFreeDeleter>;

}  // namespace kalto::x11
