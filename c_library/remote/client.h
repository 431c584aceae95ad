/* The remote solving client: one call, from its configuration through the
 * submit and poll phases. */
#ifndef PEMU_REMOTE_CLIENT_H
#define PEMU_REMOTE_CLIENT_H

#include "pemu_plumbing.h"

namespace pemu::remote {

/* Solves the values on the service; the call ends, failed, once the
 * watch's cancel answers non-zero or pemu_shutdown has run. Its progress is
 * not told: the service says nothing of how far it is. */
pemu::path_fn fetch;

} // namespace pemu::remote

#endif
