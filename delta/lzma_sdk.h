/* The one door to the LZMA SDK's encoder (26.01, from Debian's 7zip), in plain C
   types, so that no code of ours sees its headers (which pull in the
   system's on Windows). lzma_sdk.c is the only file that includes them. */
#ifndef UPDATER_DELTA_LZMA_SDK_H
#define UPDATER_DELTA_LZMA_SDK_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct updater_lzma_settings {
  int lc, lp, pb;
  unsigned dictionary; /* the window, in bytes */
  int fast;            /* 1: the fast parser over a hash chain; 0: the optimal one over a binary tree */
  int fast_bytes;      /* the match length taken without looking further, 5 to 273 */
  unsigned cycles;     /* how many earlier places the match finder tries; 0: its default */
  unsigned size_hint;  /* the bytes to come where known (a smaller window then does), else 0xFFFFFFFF */
  /* 2: the binary tree's match finder on threads of its own (its bytes are
     the same on any machine); 1: on the coder's thread. */
  int match_threads;
  /* Bytes the decoder's window holds before the stream starts (at most the
     window), which its matches may copy from; none where preset_size is 0. */
  const unsigned char* preset;
  size_t preset_size;
};

/* Reads up to *size bytes into buffer, setting *size to how many (0 at the
   end); returns 0, or nonzero for a failed read. */
typedef int (*updater_lzma_read)(void* context, void* buffer, size_t* size);
/* Takes size coded bytes; returns 0, or nonzero when it cannot. */
typedef int (*updater_lzma_write)(void* context, const void* buffer, size_t size);

/* Codes everything `read` gives as one raw LZMA stream, no end marker, into
   `write`. `dictionary_used` receives the window the stream needs (never
   more than asked). 0 on success, else the SDK's error code. */
int updater_lzma_encode(const struct updater_lzma_settings* settings, updater_lzma_read read,
                        updater_lzma_write write, void* context, unsigned* dictionary_used);

#ifdef __cplusplus
}
#endif

#endif
