/* Glue between the encoder and the LZMA SDK (public domain), see lzma_sdk.h.
   The encoder's source is built here, not on its own: starting a stream
   after a preset window needs its state, which its header does not show. */
#include "delta/lzma_sdk.h"

#include <stdlib.h>
#include <string.h>

#include "LzmaEnc.c"

static void* Allocate(ISzAllocPtr unused, size_t size) {
  (void)unused;
  return size ? malloc(size) : NULL;
}
static void Release(ISzAllocPtr unused, void* block) {
  (void)unused;
  free(block);
}
static const ISzAlloc allocator = {Allocate, Release};

struct Source {
  ISeqInStream stream;
  const unsigned char* preset; /* handed out first */
  size_t preset_left;
  updater_lzma_read read;
  void* context;
};
struct Sink {
  ISeqOutStream stream;
  updater_lzma_write write;
  void* context;
};

static SRes ReadSource(ISeqInStreamPtr self, void* buffer, size_t* size) {
  struct Source* source = (struct Source*)(void*)self;
  if (source->preset_left > 0) {
    if (*size > source->preset_left) *size = source->preset_left;
    memcpy(buffer, source->preset, *size);
    source->preset += *size;
    source->preset_left -= *size;
    return SZ_OK;
  }
  return source->read(source->context, buffer, size) ? SZ_ERROR_READ : SZ_OK;
}
static size_t WriteSink(ISeqOutStreamPtr self, const void* buffer, size_t size) {
  struct Sink* sink = (struct Sink*)(void*)self;
  return sink->write(sink->context, buffer, size) ? 0 : size;
}

/* Runs the match finder over the preset without coding it, so that the
   stream's matches may reach into it, and counts its bytes as coded: the
   positions' contexts go on from them, and the first byte is coded as any
   other, as a decoder whose window already holds the preset reads it. */
static SRes SkipPreset(CLzmaEncHandle handle, const struct updater_lzma_settings* settings) {
  CLzmaEnc* p = (CLzmaEnc*)handle;
#ifndef Z7_ST
  if (p->mtMode) {
    SRes started = MatchFinderMt_InitMt(&p->matchFinderMt);
    if (started != SZ_OK) return started;
  }
#endif
  p->matchFinder.Init(p->matchFinderObj);
  p->needInit = 0;
  p->matchFinder.Skip(p->matchFinderObj, (UInt32)settings->preset_size);
  p->nowPos64 = settings->preset_size;
  return p->matchFinderBase.result;
}

int updater_lzma_encode(const struct updater_lzma_settings* settings, updater_lzma_read read,
                        updater_lzma_write write, void* context, unsigned* dictionary_used) {
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  props.level = settings->fast ? 1 : 9;
  props.dictSize = settings->dictionary;
  props.reduceSize = settings->size_hint;
  if (props.reduceSize != 0xFFFFFFFF) {
    props.reduceSize = settings->preset_size > 0xFFFFFFFF - props.reduceSize
                           ? 0xFFFFFFFF
                           : props.reduceSize + (unsigned)settings->preset_size;
  }
  props.lc = settings->lc;
  props.lp = settings->lp;
  props.pb = settings->pb;
  props.algo = settings->fast ? 0 : 1;
  props.btMode = settings->fast ? 0 : 1;
  props.numHashBytes = 4;
  /* The binary tree's 4-byte hash with a bucket for each place in the
     window (the SDK's default: a quarter or half as many): fewer places
     share a bucket, so each position's walk down its tree meets fewer
     nodes, each a cache miss. On a game tree's 163 MB of sounds and images
     the build's CPU fell from 54 to 38 s, its bytes the same. It costs up
     to 3 bytes more a window byte, on every platform alike, so that any
     machine codes the same bytes. */
  if (!settings->fast) props.numHashOutBits = 32; /* capped at the window */
  props.fb = settings->fast_bytes;
  props.mc = settings->cycles;
  props.writeEndMark = 0;
  props.numThreads = settings->match_threads;
  CLzmaEncHandle encoder = LzmaEnc_Create(&allocator);
  if (!encoder) return SZ_ERROR_MEM;
  SRes result = LzmaEnc_SetProps(encoder, &props);
  Byte header[LZMA_PROPS_SIZE];
  SizeT header_size = sizeof header;
  if (result == SZ_OK) result = LzmaEnc_WriteProperties(encoder, header, &header_size);
  if (result == SZ_OK) {
    *dictionary_used = (unsigned)header[1] | (unsigned)header[2] << 8 |
                       (unsigned)header[3] << 16 | (unsigned)header[4] << 24;
    struct Source source = {{ReadSource}, settings->preset, settings->preset_size, read, context};
    struct Sink sink = {{WriteSink}, write, context};
    result = LzmaEnc_Prepare(encoder, &sink.stream, &source.stream, &allocator, &allocator);
    if (result == SZ_OK && settings->preset_size > 0) result = SkipPreset(encoder, settings);
    if (result == SZ_OK) result = LzmaEnc_Encode2((CLzmaEnc*)encoder, NULL);
  }
  LzmaEnc_Destroy(encoder, &allocator, &allocator);
  return result;
}
