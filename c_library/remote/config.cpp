/* The remote client's configuration from the environment. */
#include "remote/config.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "pemu_internal.h"

namespace pemu::remote {

namespace {

constexpr const char *kDefaultBaseUrl = "https://localhost:8443";

} // namespace

ca_choice choose_ca(void)
{
    const char *own = getenv("PEMU_CA_BUNDLE");
    if (own != NULL && own[0] != '\0') {
        pemu::say("Checking curl cert location %s\n", own);
        if (access(own, F_OK) == 0) {
            pemu::say("Found curl cert\n");
            return {own, NULL};
        }
        /* An explicit choice that is missing must not fall back silently. */
        return {NULL, "[Local failure] PEMU_CA_BUNDLE names nothing that exists"};
    }
    for (int i = 0; i < pemu_curl_ca_loc_max; i++) {
        pemu::say("Checking curl cert location %s\n", pemu_curl_ca_locs[i]);
        if (access(pemu_curl_ca_locs[i], F_OK) == 0) {
            pemu::say("Found curl cert\n");
            return {pemu_curl_ca_locs[i], NULL};
        }
    }
    return {NULL, "Couldn't find ca cert"};
}

const char *take_config(call_config *out)
{
    const ca_choice ca = choose_ca();
    if (ca.location == NULL)
        return ca.failure;
    const char *why = take_base_url(&out->base_url);
    if (why != NULL)
        return why;
    out->ca.reset(strdup(ca.location));
    return out->ca ? NULL : "[Local failure] configuration failed to copy";
}

const char *take_base_url(c_string_ptr *out)
{
    const char *url = getenv("PEMU_BASE_URL");
    if (url == NULL || url[0] == '\0')
        url = kDefaultBaseUrl;
    if (strncasecmp(url, "https://", 8) != 0)
        return "[Local failure] PEMU_BASE_URL must be an https:// URL";
    out->reset(strdup(url));
    return *out ? NULL : "[Local failure] configuration failed to copy";
}

curl_slist *key_headers(int mode, const char **failure)
{
    const char *unused;
    const char *&why = failure != NULL ? *failure : unused;
    const char *key = getenv("PEMU_API_KEY");
    if (key == NULL)
        key = "";
    for (const unsigned char *p = (const unsigned char *)key; *p; p++) {
        if (*p < 0x20 || *p == 0x7f) {
            why = "[Local failure] PEMU_API_KEY holds a control character";
            return NULL;
        }
    }
    why = "[Local failure] slist failed to generate";
    char *line = NULL;
    if (asprintf(&line, "x-api-key: %s", key) < 0)
        return NULL;
    curl_slist *list = curl_slist_append(NULL, line);
    free(line);
    if (list == NULL || mode != 1)
        return list;
    curl_slist *more = curl_slist_append(list, "Content-Type: application/json");
    if (more == NULL)
        curl_slist_free_all(list);
    return more;
}

int retries_override(int floor, int limit)
{
    const char *override_limit = getenv("PEMU_MAXRETRIES");
    if (override_limit == NULL)
        return limit;
    int n = atoi(override_limit);
    limit = n > floor ? n : floor;
    pemu::say("Overrode max retries to %d", limit);
    return limit;
}

} // namespace pemu::remote
