/*
 * The conversion library's three entry points. They keep the POSIX iconv
 * contract (iconv_open, iconv, iconv_close) so that callers can treat the
 * library as any iconv implementation; the program looks them up by name at
 * run time and never links against them.
 */
#ifndef TAVIR_VXICONV_H
#define TAVIR_VXICONV_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VXICONV_API __attribute__((visibility("default")))

/*
 * Opens a conversion from `from` to `to` (target first, as iconv_open). A
 * target carrying the suffix "//IGNORE" skips invalid or unconvertible input,
 * goes on with the rest, and reports EILSEQ once when the call has otherwise
 * finished. Returns (void*)-1 with errno set when the pair is not supported.
 */
VXICONV_API void* vxiconv_open(const char* to, const char* from);

/* One conversion step with the iconv contract; a null `in` flushes. */
VXICONV_API size_t vxiconv(void* cd, const char** in, size_t* inLeft, char** out, size_t* outLeft);

/* Closes the descriptor: 0 on success, -1 with errno otherwise. */
VXICONV_API int vxiconv_close(void* cd);

#ifdef __cplusplus
}
#endif

#endif
