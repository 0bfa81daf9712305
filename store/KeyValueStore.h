#pragma once
// A small set of named text values kept in memory and in a plain text file of "key=value" lines.
//
// File format: one "key=value\n" line per entry, in byte-wise key order, nothing else. On
// reading, lines shorter than 3 characters (line end included) and lines whose first character
// is "#" are skipped; leading white space of a line, white space after the first "=" and
// trailing white space of key and value are dropped; a later line replaces an earlier one with
// the same key; a line without "=" or with an empty key is skipped; reading stops at the first
// line longer than 2046 characters plus its line end.
//
// Guarantees beyond the plain format:
//  - A key or value containing a line feed, carriage return or NUL character, and a key that is
//    empty, holds "=" or begins or ends with white space, is refused (not stored, never
//    written): such a line would read back as other entries or shadow an existing key.
//  - Save replaces the file atomically: the content goes to a temporary file in the same folder,
//    which is flushed to disk and renamed over the old file. A failed or interrupted save leaves
//    the old file whole and keeps the store marked modified.
//
// Nothing here reports failure to the caller: open, write and rename failures go to the debug
// log under DEBUG_Attributes.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // An empty store; loads `path` when it is not null.
    explicit KeyValueStore(const char* path = nullptr);

    // Reads the entries of `path` into the store (entries already in memory are kept; equal keys
    // are replaced) and makes `path` the stored path; clears the modified flag. A file that
    // cannot be opened is created on the spot holding CREATED_TIME and UPDATED_TIME. A null
    // `path` does nothing.
    void Load(const char* path);

    // Writes all entries to `path` (null: the stored path, else DEFAULT_FILENAME in the current
    // folder), which becomes the stored path. Adds UPDATED_TIME first when the store was
    // modified. Clears the modified flag only when the file was replaced.
    void Save(const char* path = nullptr);

    // Removes all entries and marks the store modified. Returns true.
    bool Clear();

    // The value of `key`, or null when it is absent. Does not add the key. The pointer stays
    // valid until the entry is changed or removed.
    const char* operator[](const std::string& key) const;

    // Typed getters: each returns `defaultValue` when the value is empty, and adds an absent key
    // with an empty value (without marking the store modified), so a later Save writes "KEY=".
    // GetInt reads a decimal integer (atoi rules); GetHex reads base 16 with an optional "0x"
    // prefix, as a signed long cut to 32 bits; GetBOOL is true when the decimal value is not 0;
    // GetDouble reads by atof rules.
    int32_t GetInt(const std::string& key, int32_t defaultValue);
    uint32_t GetHex(const std::string& key, uint32_t defaultValue);
    bool GetBOOL(const std::string& key, bool defaultValue);
    double GetDouble(const std::string& key, double defaultValue);

    // A copy of the value when `key` is present (even if empty); otherwise `defaultValue`, or an
    // empty text when that is null. Does not add the key.
    std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;

    // Store a value as text ("%d", "%f", the text itself, "0x%08X"). The store is marked modified
    // when the text differs from the current value (an absent key counts as empty and is added).
    // Return true, or false when the key or value is refused (see above); a null text counts as
    // empty.
    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, unsigned value);

    // Copies every entry of `other`, replacing equal keys; marks the store modified when `other`
    // has at least one entry. Returns true.
    bool Add(const KeyValueStore& other);

    // The file loaded from or last saved to; empty when none.
    const std::string& Path() const { return path; }
    // Whether an entry changed since the last load or successful save.
    bool IsModified() const { return modified; }
    // All entries, in byte-wise key order.
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // True when `key` and `value` may be stored: written as one line, they read back as this one
    // entry and cannot create, replace or hide another.
    static bool IsStorable(const std::string& key, const std::string& value);

private:
    // The entry for `key`, added with an empty value when absent (keys that cannot be stored are
    // looked up without being added). Null when the key is absent and cannot be stored.
    const std::string* FindOrAdd(const std::string& key);
    void ParseLine(const char* line);

    std::string path;
    std::map<std::string, std::string> entries;
    bool modified = false;
};

// The current local time as the POSIX ctime text without its trailing line feed.
std::string CurrentTimeText();

// Replaces the file `path` with `length` bytes atomically: writes a temporary file in the same
// folder (keeping the old file's permission bits, else 0666 less the umask), flushes it to disk
// and renames it over `path`. An existing file that the caller may not write is left alone. On
// any failure the old file stays as it was, the temporary file is removed and the result is the
// system error number; 0 on success. `opened`, when given, tells whether the file could be
// opened for writing at all (false: the failure came before any byte was written).
int ReplaceFileAtomically(const std::string& path, const void* bytes, size_t length,
                          bool* opened = nullptr);
