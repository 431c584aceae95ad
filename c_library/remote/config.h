/* What a remote call reads from the environment: every variable of the
 * remote client is read here. The CA location is taken once, when the call
 * starts; the base URL and the key anew for each phase; PEMU_MAXRETRIES
 * only once the first poll was not ready. */
#ifndef PEMU_REMOTE_CONFIG_H
#define PEMU_REMOTE_CONFIG_H

#include "remote/admission.h"
#include "remote/transfer.h"

namespace pemu::remote {

/* Copies: another thread may change the environment while the call runs. */
struct call_config {
    c_string_ptr base_url; /* an https:// URL, of the phase under way */
    c_string_ptr ca;       /* CA file or directory */
};

/* Where the service's certificate is checked, or why there is none. */
struct ca_choice {
    const char *location; /* NULL when none exists */
    const char *failure;  /* the call's message then */
};

/* PEMU_CA_BUNDLE when set (never replaced by a table entry), else the
 * first CA table entry that exists; each probe is printed. */
ca_choice choose_ca(void);

/* Fills *out; NULL, or the call's failure message. */
const char *take_config(call_config *out);

/* PEMU_BASE_URL (or the default) as it is now, checked to be HTTPS, into
 * *out: each phase reads it anew, so that the poll goes where the variable
 * points by then. NULL, or the call's failure message. */
const char *take_base_url(c_string_ptr *out);

/* The header list of one phase, with PEMU_API_KEY as it is now: mode 1
 * (submit) adds the content type. NULL when the key holds a control
 * character (it would write header lines of its own) or memory runs out;
 * the message for the call then goes to *failure (may be NULL). */
curl_slist *key_headers(int mode, const char **failure);

/* The poll attempt limit once the first poll was not ready: limit when
 * PEMU_MAXRETRIES is unset, else its number but never below floor
 * (printed). */
int retries_override(int floor, int limit);

/* One remote call: its configuration and what both phases share. */
struct remote_call {
    call_config config;
    call_cancel cancel;
    char *err_buf;
};

} // namespace pemu::remote

#endif
