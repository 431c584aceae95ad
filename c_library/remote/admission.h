/* Admission of remote calls, their cancellation and their pauses: what lets
 * the host's exit stop every call in flight before the TLS library goes. */
#ifndef PEMU_REMOTE_ADMISSION_H
#define PEMU_REMOTE_ADMISSION_H

#include "hdr/pemu_lib.h"

namespace pemu::remote {

constexpr const char *kCancelled = "[Local failure] request cancelled";

/* One remote call's stake in the count of calls inside libcurl; admitted is
 * false once pemu_shutdown has run. */
class admission {
  public:
    admission();
    ~admission();
    admission(const admission &) = delete;
    admission &operator=(const admission &) = delete;
    bool admitted() const { return admitted_; }

  private:
    bool admitted_;
};

struct call_cancel {
    pemu_cancel_t ask; /* may be NULL */
    void *user;
};

/* The host is closing, or the caller's hook says stop. */
bool call_cancelled(const call_cancel *c);

/* Waits the pause out unless the call is cancelled first (false). */
bool pause_unless_cancelled(unsigned seconds, const call_cancel *cancel);

/* pemu_shutdown: refuse new calls, wake every pause, then wait up to
 * timeout_ms for the calls inside to leave. */
pemu_status_t shut_down(unsigned timeout_ms);

} // namespace pemu::remote

#endif
