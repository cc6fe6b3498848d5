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

/* Progress of one instance, for displays. The fields from framesSkipped on came later:
 * OCELIX_GetStats fills only the ones before it, OCELIX_GetStatsEx as many as the caller's
 * record holds. */
typedef struct OcelixStats {
    uint64_t framesEncoded;
    uint64_t videoPacketsSent;
    uint64_t audioPacketsSent;
    uint64_t packetsDropped; /* audio and video packets that never reached the server */
    uint64_t bytesSent;
    int32_t connected;      /* 1 while the connection is up and publishing */
    int32_t reconnects;     /* successful reconnections after the start */
    int32_t sendKbps;       /* bit rate sent over the last second */
    int32_t elapsedMs;      /* since the start */
    uint64_t framesSkipped; /* frame-clock ticks left out because the encoder was behind */
    int32_t targetKbps;     /* the video encoder's current target; 0 when it works to a quality */
    int32_t queueDelayMs;   /* age of the oldest media not yet sent */
    int32_t connectError;   /* OCELIX_CONNECT_* of the last connection attempt */
    int32_t failedAttempts; /* attempts that failed since the connection was last up */
} OcelixStats;

/* How the last connection attempt ended (OcelixStats.connectError): the certificate kinds are
 * for rtmps:// addresses, whose server must prove itself with a valid certificate for its host
 * from an authority the system trusts or the one of OCELIX_SetTlsCaFile. */
#define OCELIX_CONNECT_OK 0
#define OCELIX_CONNECT_FAILED 1             /* the name, the line, the server or its answer */
#define OCELIX_CONNECT_TLS 2                /* no TLS session could be agreed with the server */
#define OCELIX_CONNECT_CERT_UNTRUSTED 3     /* the certificate is not from a trusted authority */
#define OCELIX_CONNECT_CERT_HOST 4          /* the certificate belongs to another host */
#define OCELIX_CONNECT_CERT_EXPIRED 5       /* the certificate's validity has ended */
#define OCELIX_CONNECT_CERT_NOT_YET_VALID 6 /* its validity has not begun (the clock?) */
#define OCELIX_CONNECT_CA_FILE 7            /* the CA file of OCELIX_SetTlsCaFile is unusable */

/* Size of the record OCELIX_GetStats fills. */
#define OCELIX_STATS_BASE_SIZE 56

/* The local copy: the same encoded packets written beside the broadcast into a fragmented MP4
 * file on the teacher's disk, also while the line is down. */
#define OCELIX_COPY_OFF 0       /* none asked for */
#define OCELIX_COPY_RECORDING 1 /* being written */
#define OCELIX_COPY_ENDED 2     /* ended with the broadcast; the file is whole */
#define OCELIX_COPY_FAILED 3    /* could not be made (folder missing or not writable, ...) */
#define OCELIX_COPY_DISK_FULL 4 /* ended early, playable: the disk is full or below 1 GiB free */
#define OCELIX_COPY_TOO_SLOW 5  /* ended early, playable: the disk could not keep up */

typedef struct OcelixLocalCopy {
    int32_t state;         /* OCELIX_COPY_* */
    int32_t systemError;   /* errno (or the Windows error) behind FAILED or DISK_FULL; 0 if none */
    uint64_t bytesWritten; /* size of the file so far */
    char path[1024];       /* the file (NUL-terminated; empty while there is none) */
} OcelixLocalCopy;

/* Results: 1 for success, 0 for failure; no exception escapes. OCELIX_ReleaseEncoder,
 * OCELIX_Stop and the two Put functions cannot fail and always return 1. */
OCELIX_API void* OCELIX_CreateEncoder(const EncoderConfig* config);
OCELIX_API int OCELIX_ReleaseEncoder(void* handle);
/* 1 when the instance connected and published. */
OCELIX_API int OCELIX_Start(void* handle);
OCELIX_API int OCELIX_Stop(void* handle);
/* One frame of exactly width x height x 3 bytes; others are ignored. */
OCELIX_API int OCELIX_PutVideoData(void* handle, const void* data, int length);
/* The same, for a picture taken at media time takenMs (see OCELIX_GetMediaTime) rather than
 * now: a picture grabbed on the frame grid is then stamped with the grid point it was taken at,
 * however long the grab took. */
OCELIX_API int OCELIX_PutVideoDataAt(void* handle, const void* data, int length, int32_t takenMs);
/* The instance's media time now, in milliseconds since its start: the time line of its frame
 * grid and of the stream. 0 while the instance is not running. */
OCELIX_API int OCELIX_GetMediaTime(void* handle, int32_t* ms);
/* One block of exactly OCELIX_GetAudioNofifySize bytes; others are ignored. */
OCELIX_API int OCELIX_PutAudioData(void* handle, const void* data, int length);
/* Bytes of raw audio per block; 0 for an instance without audio. */
OCELIX_API int OCELIX_GetAudioNofifySize(void* handle);
OCELIX_API int OCELIX_GetStats(void* handle, OcelixStats* stats);
/* Fills the first `size` bytes of the record (size: sizeof(OcelixStats) of the caller). */
OCELIX_API int OCELIX_GetStatsEx(void* handle, OcelixStats* stats, int size);
/* Before OCELIX_Start: write a local copy to `path` (an .mp4 file; an existing file is never
 * replaced: "-2", "-3", ... is put before the extension instead). NULL or "" switches it off.
 * 0 when the instance has started already or the path is too long. */
OCELIX_API int OCELIX_SetLocalCopy(void* handle, const char* path);
/* Fills the first `size` bytes of the record (size: sizeof(OcelixLocalCopy) of the caller). */
OCELIX_API int OCELIX_GetLocalCopy(void* handle, OcelixLocalCopy* copy, int size);
/* Before OCELIX_Start: a PEM file of certificate authorities trusted for an rtmps:// address
 * besides the system's (a school's own). NULL or "": the system's only. 0 when the instance has
 * started already or the path is longer than 4095 bytes. */
OCELIX_API int OCELIX_SetTlsCaFile(void* handle, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* OCELIX_OCELIX_H */
