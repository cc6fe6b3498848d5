/* The RTMP client library: connect, publish or play, call server methods, send metadata and
 * media. Every function returns 1 for success and 0 for failure unless stated otherwise, and
 * never lets an exception escape. Any function may be called on one handle from several threads
 * at once, also from inside its callbacks (only RTMP_Release must not race other calls on the
 * same handle). RTMP_Disconnect from another thread ends a connect, publish, play or call that
 * is waiting on the same handle at once, with the result 0. */
#ifndef STREAM_RTMP_H
#define STREAM_RTMP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define RTMP_API __declspec(dllexport)
#else
#define RTMP_API __attribute__((visibility("default")))
#endif

/* A server invocation named "CallBack": the user value, its parameter text (NUL-terminated)
 * and the text's length. Runs on the connection's receive thread. */
typedef int (*CallBackFn)(void* user, const char* text, int length);
/* A played video unit (Annex B) or audio frame (ADTS): the user value, the bytes, their count
 * and the message time in milliseconds. Runs on the connection's receive thread. */
typedef int (*StreamOutFn)(void* user, const uint8_t* data, int length, int timestamp);

/* Media types of RTMP_SendStream. */
#define RTMP_TYPE_AUDIO 8
#define RTMP_TYPE_VIDEO 9

/* Why the last connect failed (RTMP_GetLastError). */
#define RTMP_ERROR_NONE 0
#define RTMP_ERROR_OTHER 1              /* the URL, the name, the line or the server's answer */
#define RTMP_ERROR_TLS 2                /* no TLS session could be agreed with the server */
#define RTMP_ERROR_CERT_UNTRUSTED 3     /* the certificate is not from a trusted authority */
#define RTMP_ERROR_CERT_HOST 4          /* the certificate belongs to another host */
#define RTMP_ERROR_CERT_EXPIRED 5       /* the certificate's validity has ended */
#define RTMP_ERROR_CERT_NOT_YET_VALID 6 /* the certificate's validity has not begun */
#define RTMP_ERROR_CA_FILE 7            /* the CA file of RTMP_SetTlsCaFile cannot be used */

/* Log flags of RTMP_SetLog. */
#define RTMP_LOG_FILE 0x001
#define RTMP_LOG_TRAFFIC 0x100

RTMP_API void* RTMP_Create(void);
RTMP_API int RTMP_Release(void* handle);
RTMP_API int RTMP_Connect(void* handle, const char* url);
RTMP_API int RTMP_Connect2(void* handle, const char* url, const char* param1, const char* param2);
RTMP_API int RTMP_Disconnect(void* handle);
/* "record", "append", anything else publishes live. 1 only when the server answered the publish
 * with success; 0 for an error answer, no answer in time or a lost connection. */
RTMP_API int RTMP_Publish(void* handle, const char* type);
/* 1 only when the server answered the play with success (0 without a stream name). */
RTMP_API int RTMP_Play(void* handle);
/* One H.264 access unit (Annex B, 4-byte start codes) or one ADTS AAC frame. timestamp is the
 * time in ms since the previous media message of either kind. A unit whose message would exceed
 * the 24-bit message length is refused with 0 (its time is carried to the next message). */
RTMP_API int RTMP_SendStream(void* handle, const void* data, int length, int timestamp, int type);
/* 1 while the connection's receive thread runs, 0 without connection or once it stopped (the
 * server closed, a send failed, or the peer stopped answering for about 20 s). */
RTMP_API int RTMP_GetState(void* handle);
RTMP_API int RTMP_SetLog(void* handle, int console, int flags);
RTMP_API int RTMP_SetDbgOut(void* handle, int value);
RTMP_API int RTMP_SetStreamOut(void* handle, StreamOutFn video, StreamOutFn audio, void* user);
RTMP_API int RTMP_SetCallBack(void* handle, CallBackFn callback, void* user);
/* texts[0] is the method name, the others its string arguments. The answer lines are
 * collected in result, each preceded by a comma; empty when no answer came in time. 1 only when
 * the server answered with success. */
RTMP_API int RTMP_Call(void* handle, const char** texts, int count, char* result, int size);
RTMP_API void* RTMP_CreateMetaData(void);
RTMP_API int RTMP_AddMetaDataString(void* metadata, const char* name, const char* value);
RTMP_API int RTMP_AddMetaDataDouble(void* metadata, const char* name, double value);
/* Sends the metadata and frees it (also when there is no connection). */
RTMP_API int RTMP_ApplyMetaData(void* handle, void* metadata);
/* rtmps:// URLs (port 443 unless given) are TLS connections; the server's certificate must be
 * valid, for the URL's host, and from an authority the system trusts or from the PEM file set
 * here (NULL or "": the system's only). Used by the next RTMP_Connect. */
RTMP_API int RTMP_SetTlsCaFile(void* handle, const char* path);
/* Why the last RTMP_Connect on the handle failed: returns an RTMP_ERROR_* kind (RTMP_ERROR_NONE
 * after a success) and, when text is not NULL, puts a line for the log into it (size bytes,
 * always NUL-terminated). */
RTMP_API int RTMP_GetLastError(void* handle, char* text, int size);

#ifdef __cplusplus
}
#endif

#endif /* STREAM_RTMP_H */
