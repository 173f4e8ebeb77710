// SPDX-License-Identifier: MIT
/* Push SDK interface (stand-in build). The four operations and the message
 * types that a push client uses; the same header works from C and C++.
 *
 * Call order: OstrelInit, OstrelSubScribe, OstrelRegister, OstrelStart. After
 * a successful start the SDK calls the registered callback from threads of
 * its own, once per message. */
#ifndef OSTREL_SDK_H
#define OSTREL_SDK_H

#ifdef __cplusplus
extern "C" {
#endif

/* Message types; the values are fixed. */
typedef enum OstrelMsgType {
    eOstrelMsg_Push = 0,
    eOstrelMsg_Presence = 1,
    eOstrelMsg_Sms = 2,
    eOstrelMsg_Mms = 3,
    eOstrelMsg_Max = 4 /* one more than the last message type */
} OstrelMsgType;

/* Receives one message: `len` bytes at `data`, owned by the SDK for the
 * duration of the call and not NUL-terminated. May run on several SDK
 * threads at once. */
typedef void (*OstrelMsgCallback)(const char *data, int len);

/* Sets up the SDK. The strings are copied. Returns -1 on failure. */
int OstrelInit(const char *client_id, const char *server_url, const char *data);

/* Subscribes `count` application identifiers (copied). Returns 0, or -1 when
 * called before a successful init or with bad arguments. */
int OstrelSubScribe(int count, const char *const *apps);

/* Registers the callback for one message type; NULL removes it. Returns 0, or
 * -1 for a type outside 0 .. eOstrelMsg_Max - 1. */
int OstrelRegister(OstrelMsgType type, OstrelMsgCallback callback);

/* Starts reception in the background and returns at once. Returns -1 on
 * failure (not initialised, already started, no feed). */
int OstrelStart(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_SDK_H */
