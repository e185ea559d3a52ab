// A small JSON writer for the statistics reports (private header of the
// reports layer).
//
// Writes compact JSON, one member at a time, either straight into a stream
// or into memory obtained through the platform seam.  It inserts the commas,
// escapes strings, and replaces bytes that are not well-formed UTF-8 with
// U+FFFD, so any name a host registered still gives a document every parser
// accepts.  Allocates nothing on the stream side; on the memory side an
// allocation failure makes the writer drop everything after it (failed()).
#ifndef LIBAUTO_PLEX_REPORTS_JSON_WRITER_H
#define LIBAUTO_PLEX_REPORTS_JSON_WRITER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Length of the well-formed UTF-8 sequence at s, which is not at its NUL
// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF), or 0.  The JSON writer and
// the metrics writer replace what it refuses with U+FFFD.
size_t utf8_sequence(const unsigned char *s);

class ApJson {
  public:
    explicit ApJson(FILE *f) : file_(f) {}
    ApJson() = default;  // into memory
    ~ApJson();
    ApJson(const ApJson &) = delete;
    ApJson &operator=(const ApJson &) = delete;

    // `key` is null inside arrays and for the document itself.
    void begin_object(const char *key = nullptr);
    void end_object();
    void begin_array(const char *key);
    void end_array();
    void u64(const char *key, uint64_t v);
    void i64(const char *key, int64_t v);
    void boolean(const char *key, bool v);
    void str(const char *key, const char *s);  // null s: JSON null

    // Memory form: the document so far, NUL-terminated (null after a failure).
    const char *text() const { return failed_ ? nullptr : buf_; }
    bool failed() const { return failed_; }

  private:
    void put(const char *s, size_t n);
    void put(const char *s);
    void put_string(const char *s);
    void member(const char *key);
    void open(char c);
    void close(char c);

    FILE *file_ = nullptr;
    char *buf_ = nullptr;
    size_t len_ = 0, cap_ = 0;
    bool failed_ = false;
    // Bit d set: the container at depth d already has a member.
    uint64_t has_member_ = 0;
    unsigned depth_ = 0;
};

#endif
