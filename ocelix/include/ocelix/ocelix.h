/* The encoder library: turns raw BGR frames and PCM blocks into one live RTMP publication. */
#ifndef OCELIX_OCELIX_H
#define OCELIX_OCELIX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define OCELIX_API __declspec(dllexport)
#else
#define OCELIX_API __attribute__((visibility("default")))
#endif

/* Pixel format of the raw frames: packed 24-bit BGR, rows bottom-up. */
#define OCELIX_FORMAT_BGR24_BOTTOM_UP 4103

/* The 300-byte configuration record (32-bit little-endian integers, no padding). */
typedef struct EncoderConfig {
    int32_t width;         /* 0: no video */
    int32_t height;        /* 0: no video */
    int32_t inputFormat;   /* OCELIX_FORMAT_BGR24_BOTTOM_UP */
    int32_t frameRate;     /* frames per second */
    int32_t interval;      /* key-frame interval in frames; 0 or less: two seconds' worth */
    int32_t quality;       /* constant quality (CRF 1..51) when bitrate is 0 or less */
    int32_t bitrate;       /* kbit/s; positive selects average bit rate */
    int32_t samplesPerSec; /* any of the three audio fields 0: no audio */
    int32_t bitsPerSample;
    int32_t channels;
    int32_t record; /* 1 publishes with mode "append", anything else "live" */
    char url[256];  /* publish URL, NUL-terminated */
} EncoderConfig;

/* Progress of one instance, for displays. */
typedef struct OcelixStats {
    uint64_t framesEncoded;
    uint64_t videoPacketsSent;
    uint64_t audioPacketsSent;
    uint64_t packetsDropped;
    uint64_t bytesSent;
    int32_t connected;  /* 1 while the connection is up and publishing */
    int32_t reconnects; /* successful reconnections after the start */
    int32_t sendKbps;   /* bit rate sent over the last second */
    int32_t elapsedMs;  /* since the start */
} OcelixStats;

OCELIX_API void* OCELIX_CreateEncoder(const EncoderConfig* config);
OCELIX_API int OCELIX_ReleaseEncoder(void* handle);
/* 1 when the instance connected and published. */
OCELIX_API int OCELIX_Start(void* handle);
OCELIX_API int OCELIX_Stop(void* handle);
/* One frame of exactly width x height x 3 bytes; others are ignored. */
OCELIX_API int OCELIX_PutVideoData(void* handle, const void* data, int length);
/* One block of exactly OCELIX_GetAudioNofifySize bytes; others are ignored. */
OCELIX_API int OCELIX_PutAudioData(void* handle, const void* data, int length);
/* Bytes of raw audio per block; 0 for an instance without audio. */
OCELIX_API int OCELIX_GetAudioNofifySize(void* handle);
OCELIX_API int OCELIX_GetStats(void* handle, OcelixStats* stats);

#ifdef __cplusplus
}
#endif

#endif /* OCELIX_OCELIX_H */
