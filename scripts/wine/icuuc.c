/* icuuc.dll for the Wine prefix of scripts/windows-test. Windows 10 (1703 and later) carries
 * ICU in System32 and Qt 6's Qt6Core.dll imports 20 of its ucnv_* converter functions; Wine 8.0
 * has no icuuc.dll, so Qt6Core.dll would not load. Qt uses them only for the text encodings
 * beyond its own UTF-8/16/32, Latin-1 and system ones: this one knows no converter (ucnv_open
 * fails, none are listed), so Qt reports such an encoding as unsupported. Never shipped. */
#include <stddef.h>
#include <stdint.h>

typedef int UErrorCode;
enum { U_FILE_ACCESS_ERROR = 4 };
#define EXPORT __declspec(dllexport)
#define UNUSED(x) (void)(x)

static void fail(UErrorCode *status) {
  if (status && *status <= 0) *status = U_FILE_ACCESS_ERROR;
}

EXPORT void *ucnv_open(const char *name, UErrorCode *status) { UNUSED(name); fail(status); return NULL; }
EXPORT void ucnv_close(void *cnv) { UNUSED(cnv); }
EXPORT void ucnv_reset(void *cnv) { UNUSED(cnv); }
EXPORT int8_t ucnv_getMaxCharSize(const void *cnv) { UNUSED(cnv); return 1; }
EXPORT const char *ucnv_getName(const void *cnv, UErrorCode *status) { UNUSED(cnv); fail(status); return NULL; }
EXPORT const char *ucnv_getStandardName(const char *name, const char *standard, UErrorCode *status) {
  UNUSED(name); UNUSED(standard); fail(status); return NULL;
}
EXPORT const char *ucnv_getAvailableName(int32_t n) { UNUSED(n); return NULL; }
EXPORT int32_t ucnv_countAvailable(void) { return 0; }

EXPORT void ucnv_getToUCallBack(const void *cnv, void **action, const void **context) {
  UNUSED(cnv); if (action) *action = NULL; if (context) *context = NULL;
}
EXPORT void ucnv_getFromUCallBack(const void *cnv, void **action, const void **context) {
  UNUSED(cnv); if (action) *action = NULL; if (context) *context = NULL;
}
EXPORT void ucnv_setToUCallBack(void *cnv, void *action, const void *context, void **old_action,
                                const void **old_context, UErrorCode *status) {
  UNUSED(cnv); UNUSED(action); UNUSED(context);
  if (old_action) *old_action = NULL; if (old_context) *old_context = NULL; fail(status);
}
EXPORT void ucnv_setFromUCallBack(void *cnv, void *action, const void *context, void **old_action,
                                  const void **old_context, UErrorCode *status) {
  UNUSED(cnv); UNUSED(action); UNUSED(context);
  if (old_action) *old_action = NULL; if (old_context) *old_context = NULL; fail(status);
}
EXPORT void UCNV_FROM_U_CALLBACK_SUBSTITUTE(const void *context, void *args, const uint16_t *units, int32_t length,
                                            int32_t code_point, int reason, UErrorCode *status) {
  UNUSED(context); UNUSED(args); UNUSED(units); UNUSED(length); UNUSED(code_point); UNUSED(reason); fail(status);
}
EXPORT void UCNV_TO_U_CALLBACK_SUBSTITUTE(const void *context, void *args, const char *units, int32_t length,
                                          int reason, UErrorCode *status) {
  UNUSED(context); UNUSED(args); UNUSED(units); UNUSED(length); UNUSED(reason); fail(status);
}
EXPORT void ucnv_cbToUWriteUChars(void *args, const uint16_t *source, int32_t length, int32_t offset,
                                  UErrorCode *status) {
  UNUSED(args); UNUSED(source); UNUSED(length); UNUSED(offset); fail(status);
}
EXPORT void ucnv_cbFromUWriteUChars(void *args, const uint16_t **source, const uint16_t *limit, int32_t offset,
                                    UErrorCode *status) {
  UNUSED(args); UNUSED(source); UNUSED(limit); UNUSED(offset); fail(status);
}
EXPORT void ucnv_toUnicode(void *cnv, uint16_t **target, const uint16_t *target_limit, const char **source,
                           const char *source_limit, int32_t *offsets, int8_t flush, UErrorCode *status) {
  UNUSED(cnv); UNUSED(target); UNUSED(target_limit); UNUSED(source); UNUSED(source_limit); UNUSED(offsets);
  UNUSED(flush); fail(status);
}
EXPORT void ucnv_fromUnicode(void *cnv, char **target, const char *target_limit, const uint16_t **source,
                             const uint16_t *source_limit, int32_t *offsets, int8_t flush, UErrorCode *status) {
  UNUSED(cnv); UNUSED(target); UNUSED(target_limit); UNUSED(source); UNUSED(source_limit); UNUSED(offsets);
  UNUSED(flush); fail(status);
}
EXPORT int32_t ucnv_toUCountPending(const void *cnv, UErrorCode *status) { UNUSED(cnv); fail(status); return 0; }
EXPORT int32_t ucnv_fromUCountPending(const void *cnv, UErrorCode *status) { UNUSED(cnv); fail(status); return 0; }
