/*
 * The caller's side of the proof that goes with every call of the Vorsel
 * link (com.ordwyn.GuardLink on the session bus): for the main app, in C.
 *
 * Each call carries, as its last argument (type h), a descriptor that proves
 * which process makes it, on which connection of which bus, and which call
 * it is. The agent answers a call only after it has judged that process and
 * asked it, on that descriptor, to answer a fresh challenge, which only the
 * process that made the call can do:
 *
 *   VorselLinkProof proof;
 *   vorselLinkProveCall(&proof, busSocket, myUniqueBusName, "Hold", rules, size);
 *   ...send the call with proof.passed as its last argument...
 *   vorselLinkCloseEnd(&proof.passed);          (the message holds a copy)
 *   vorselLinkAnswerChallenge(&proof, 10000);   (before waiting for the reply)
 *   ...read the reply...
 *   vorselLinkCloseProof(&proof);
 *
 * An event-driven caller instead watches proof.kept for input and calls
 * vorselLinkAnswerChallenge(&proof, 0) when it is readable. Either way, keep
 * proof.kept open until the reply is in: the agent refuses a call whose
 * challenge goes unanswered for a few seconds.
 *
 * Thread-safe: no state but what a VorselLinkProof holds.
 */
#ifndef VORSEL_LINK_H
#define VORSEL_LINK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * "<member> <SHA-256 of the call's other arguments, hex> <unique bus name>
 * <pid of the process listening on the bus's socket>"
 */
#define VORSEL_LINK_PROOF_TEXT 320

typedef struct VorselLinkProof {
    int passed; /* the end to pass with the call; close it once sent */
    int kept;   /* the end this process keeps (close-on-exec) until the reply */
    char text[VORSEL_LINK_PROOF_TEXT]; /* what the proof says */
} VorselLinkProof;

/*
 * Proves a call of `member` ("Version", "Hold", "Held") that the connection
 * named `busName` (its unique name, ":1.42") is about to send, with
 * `arguments` the bytes of its other arguments (the rules for Hold; NULL and
 * 0 for the others). `busSocket` is that connection's socket (libdbus:
 * dbus_connection_get_unix_fd); the kernel says which process listens at
 * its other end, so that a call captured on another bus proves nothing on
 * the agent's. 0 on success; otherwise an errno value, with both ends -1.
 */
int vorselLinkProveCall(VorselLinkProof* proof, int busSocket, const char* busName,
                        const char* member, const void* arguments, size_t size);

/*
 * Answers the agent's challenge for the call `proof` proves, waiting up to
 * `timeoutMs` milliseconds for it (0: only if it is already there; -1: for
 * as long as it takes). 1: answered. 0: the agent ended the call without a
 * challenge (it refused it) or none came in time. -1: an error, errno set.
 */
int vorselLinkAnswerChallenge(const VorselLinkProof* proof, int timeoutMs);

/* Closes one end (when >= 0) and sets it to -1. */
void vorselLinkCloseEnd(int* end);

/* Closes both ends of `proof`. */
void vorselLinkCloseProof(VorselLinkProof* proof);

#ifdef __cplusplus
}
#endif

#endif
