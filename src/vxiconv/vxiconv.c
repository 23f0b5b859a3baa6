/*
 * The conversion library over glibc's iconv.
 *
 * glibc knows how to skip invalid and unconvertible characters when the
 * target name carries "//IGNORE", but it is of little use as it stands: in
 * multi-step conversions (say UCS-4LE -> internal -> ISO-8859-1) it gives up
 * at the first internal buffer boundary after a skipped character and
 * returns EILSEQ with most of the input unread, and when the output fills up
 * in the same call it returns E2BIG and the skip is never reported at all.
 *
 * So the real conversion runs without "//IGNORE": it stops exactly at the
 * offending character. Its length is then measured with a second descriptor
 * that does ignore (the shortest prefix it swallows without output), the
 * character is stepped over, and conversion goes on. The skip is reported
 * once, as EILSEQ, by the call that has otherwise nothing left to say: the
 * one that consumed all its input, or the flush.
 */
#define _GNU_SOURCE
#include "vxiconv.h"

#include <errno.h>
#include <iconv.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

struct vxiconv_desc {
    iconv_t cd; /* the conversion proper, without "//IGNORE" */
    iconv_t probe; /* with "//IGNORE": measures a character to skip */
    int ignore; /* the target asked for invalid input to be skipped */
    int skipped; /* something was skipped and not yet reported */
};

/* The longest byte sequence of one character in any charset glibc knows. */
enum { MAX_CHARACTER = 16 };

/*
 * Splits a target name such as "ISO-8859-1//TRANSLIT//IGNORE" into the name
 * without IGNORE (written into `plain`) and whether IGNORE was asked for.
 */
static int splitIgnore(const char* to, char* plain, size_t size)
{
    const char* suffix = strstr(to, "//");
    size_t baseLength = suffix ? (size_t)(suffix - to) : strlen(to);
    if (baseLength >= size)
        return -1;
    memcpy(plain, to, baseLength);
    plain[baseLength] = '\0';
    size_t used = baseLength;
    int ignore = 0;
    int first = 1;
    while (suffix) {
        const char* p = suffix + 2;
        while (*p && *p != '/') {
            size_t len = strcspn(p, ",/");
            if (len == 6 && strncasecmp(p, "IGNORE", 6) == 0) {
                ignore = 1;
            } else if (len > 0) {
                if (used + len + 3 >= size)
                    return -1;
                memcpy(plain + used, first ? "//" : ",", first ? 2 : 1);
                used += first ? 2 : 1;
                memcpy(plain + used, p, len);
                used += len;
                plain[used] = '\0';
                first = 0;
            }
            p += len;
            if (*p == ',')
                ++p;
        }
        suffix = strstr(p, "//");
    }
    return ignore;
}

void* vxiconv_open(const char* to, const char* from)
{
    if (!to || !from) {
        errno = EINVAL;
        return (void*)-1;
    }
    size_t size = strlen(to) + 1;
    char* plain = malloc(size);
    struct vxiconv_desc* desc = malloc(sizeof *desc);
    if (!plain || !desc) {
        free(plain);
        free(desc);
        errno = ENOMEM;
        return (void*)-1;
    }
    int ignore = splitIgnore(to, plain, size);
    if (ignore < 0) {
        free(plain);
        free(desc);
        errno = EINVAL;
        return (void*)-1;
    }
    desc->ignore = ignore;
    desc->skipped = 0;
    desc->probe = (iconv_t)-1;
    desc->cd = iconv_open(plain, from);
    int saved = errno;
    free(plain);
    if (desc->cd != (iconv_t)-1 && ignore) {
        desc->probe = iconv_open(to, from);
        saved = errno;
        if (desc->probe == (iconv_t)-1) {
            iconv_close(desc->cd);
            desc->cd = (iconv_t)-1;
        }
    }
    if (desc->cd == (iconv_t)-1) {
        free(desc);
        errno = saved;
        return (void*)-1;
    }
    return desc;
}

/*
 * The length of the character at `in` that the conversion refused: the
 * shortest prefix that the ignoring descriptor consumes entirely without
 * producing anything. One byte when no prefix qualifies, so that progress is
 * always made.
 */
static size_t refusedLength(struct vxiconv_desc* desc, const char* in, size_t inLeft)
{
    size_t limit = inLeft < MAX_CHARACTER ? inLeft : MAX_CHARACTER;
    for (size_t k = 1; k <= limit; ++k) {
        char buffer[64];
        char* out = buffer;
        size_t outLeft = sizeof buffer;
        char* probeIn = (char*)in;
        size_t probeLeft = k;
        iconv(desc->probe, NULL, NULL, NULL, NULL);
        size_t r = iconv(desc->probe, &probeIn, &probeLeft, &out, &outLeft);
        int error = r == (size_t)-1 ? errno : 0;
        if (outLeft != sizeof buffer)
            break; /* the prefix converts to something: not a lone bad character */
        if (probeLeft == 0)
            return k;
        if (error != EINVAL)
            break;
    }
    return 1;
}

size_t vxiconv(void* handle, const char** in, size_t* inLeft, char** out, size_t* outLeft)
{
    struct vxiconv_desc* desc = handle;
    if (!desc || handle == (void*)-1) {
        errno = EBADF;
        return (size_t)-1;
    }
    if (!in || !*in || !inLeft) {
        /* flush the shift state (or reset it when there is no output) */
        size_t result = iconv(desc->cd, NULL, NULL, out, outLeft);
        if (result != (size_t)-1 && desc->skipped && out && *out) {
            desc->skipped = 0;
            errno = EILSEQ;
            return (size_t)-1;
        }
        if (!out || !*out)
            desc->skipped = 0; /* a reset starts a new text */
        return result;
    }

    size_t irreversible = 0;
    for (;;) {
        size_t result = iconv(desc->cd, (char**)in, inLeft, out, outLeft);
        if (result != (size_t)-1) {
            irreversible += result;
            break;
        }
        if (errno != EILSEQ || !desc->ignore)
            return (size_t)-1; /* E2BIG, EINVAL, or EILSEQ when not ignoring */
        size_t skip = refusedLength(desc, *in, *inLeft);
        *in += skip;
        *inLeft -= skip;
        desc->skipped = 1;
    }
    if (desc->skipped) {
        desc->skipped = 0;
        errno = EILSEQ;
        return (size_t)-1;
    }
    return irreversible;
}

int vxiconv_close(void* handle)
{
    struct vxiconv_desc* desc = handle;
    if (!desc || handle == (void*)-1) {
        errno = EBADF;
        return -1;
    }
    int result = iconv_close(desc->cd);
    int saved = errno;
    if (desc->probe != (iconv_t)-1)
        iconv_close(desc->probe);
    free(desc);
    errno = saved;
    return result;
}
