#include "imaging/codec_hooks.h"

LzwDecodeHook& DefaultTiffLzwDecoder() {
  static LzwDecodeHook hook = nullptr;
  return hook;
}

LzwEncodeHook& DefaultTiffLzwEncoder() {
  static LzwEncodeHook hook = nullptr;
  return hook;
}
