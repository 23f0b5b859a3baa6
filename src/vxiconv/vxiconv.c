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
    iconv_t probe; /* source to UCS-4LE, skipping: measures what to skip */
    iconv_t strict; /* source to UCS-4LE, strict: the same */
    char* from; /* the source name, to open the two above on first need */
    int ignore; /* the target asked for invalid input to be skipped */
    int skipped; /* something was skipped and not yet reported */
};

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
    desc->cd = iconv_open(plain, from);
    int saved = errno;
    free(plain);
    desc->probe = (iconv_t)-1;
    desc->strict = (iconv_t)-1;
    desc->from = NULL;
    if (desc->cd != (iconv_t)-1 && ignore) {
        desc->from = strdup(from);
        if (!desc->from) {
            iconv_close(desc->cd);
            desc->cd = (iconv_t)-1;
            saved = ENOMEM;
        }
    }
    if (desc->cd == (iconv_t)-1) {
        free(desc);
        errno = saved;
        return (void*)-1;
    }
    return desc;
}

/* One conversion of [in, in + length) into `room` bytes; returns bytes consumed. */
static size_t tryConvert(iconv_t cd, const char* in, size_t length, size_t room, size_t* produced)
{
    char buffer[64];
    char* out = buffer;
    size_t outLeft = room < sizeof buffer ? room : sizeof buffer;
    size_t start = outLeft;
    char* p = (char*)in;
    size_t left = length;
    iconv(cd, NULL, NULL, NULL, NULL);
    iconv(cd, &p, &left, &out, &outLeft);
    *produced = start - outLeft;
    return length - left;
}

/*
 * The length of the input at `in` that the conversion refused. Two helper
 * descriptors convert the source into UCS-4LE, one skipping invalid input
 * and one strict. The skipping one, given room for one character, consumes
 * the bad bytes plus at most one good character (glibc will not skip
 * without room for what follows). If it produced nothing, all it consumed
 * was bad. Otherwise the bad part is the shortest prefix after which the
 * rest is exactly one valid character; when the whole of it is one valid
 * character, the source was fine and the target could not take it.
 * Falls back to one byte so that progress is always made.
 */
static size_t refusedLength(struct vxiconv_desc* desc, const char* in, size_t inLeft)
{
    /* Opened only after a first error: most texts never need them. A source
       glibc cannot read into UCS-4LE falls back to skipping byte by byte. */
    if (desc->probe == (iconv_t)-1)
        desc->probe = iconv_open("UCS-4LE//IGNORE", desc->from);
    if (desc->strict == (iconv_t)-1)
        desc->strict = iconv_open("UCS-4LE", desc->from);
    if (desc->probe == (iconv_t)-1 || desc->strict == (iconv_t)-1)
        return 1;
    size_t produced = 0;
    size_t consumed = tryConvert(desc->probe, in, inLeft, 4, &produced);
    if (consumed == 0)
        return 1;
    if (produced == 0)
        return consumed;
    for (size_t j = 0; j < consumed; ++j) {
        size_t one = 0;
        if (tryConvert(desc->strict, in + j, consumed - j, 64, &one) == consumed - j && one == 4)
            return j == 0 ? consumed : j;
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
    if (desc->strict != (iconv_t)-1)
        iconv_close(desc->strict);
    free(desc->from);
    free(desc);
    errno = saved;
    return result;
}
