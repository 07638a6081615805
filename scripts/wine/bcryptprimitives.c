/* bcryptprimitives.dll for the Wine prefix of scripts/windows-test (Windows has its own;
 * Wine 8.0 has none). Programs built with Rust 1.78 or later, uv.exe and the Rust extension of
 * cryptography among them, import ProcessPrng from it and do not start without it.
 * ProcessPrng fills the buffer from the system's preferred random generator and, like
 * Windows' own, never reports failure: it ends the process instead. Never shipped. */
#include <windows.h>
#include <bcrypt.h>

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
  while (size > 0) {
    ULONG chunk = size > 0x10000000 ? 0x10000000 : (ULONG)size;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      FatalAppExitA(0, "ProcessPrng: the system random generator failed");
    data += chunk;
    size -= chunk;
  }
  return TRUE;
}
