// The buffer sizes (see buffer_sizes.h).
#include "shell/buffer_sizes.h"

#include "engine/engine_state.h"

BufferSizesK CurrentBufferSizesK() {
  const EngineGlobals& globals = TheEngineGlobals();
  return BufferSizesK{globals.dwDriverBufferSize / 1024, globals.dwDllBufferSize / 1024};
}

bool ApplyBufferSizesK(const BufferSizesK& sizes, DialogError* error) {
  if (!CheckRange(kDriverBufferEdit, sizes.nDriverK, kMinDriverBufferK, kMaxDriverBufferK, error) ||
      !CheckRange(kDllBufferEdit, sizes.nDllK, kMinDllBufferK, kMaxDllBufferK, error)) {
    return false;
  }
  EngineGlobals& globals = TheEngineGlobals();
  globals.dwDriverBufferSize = static_cast<DWORD>(sizes.nDriverK * 1024);
  globals.dwDllBufferSize = static_cast<DWORD>(sizes.nDllK * 1024);
  return true;
}
