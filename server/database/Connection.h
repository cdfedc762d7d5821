#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace database {

// What the stores need to tell apart, whatever engine reported it.
enum class Failure {
    Other,
    Constraint, // a unique key (or another constraint) refused the row
    Full, // the disk or the quota is full
};

// One prepared statement of a connection, with its values and, while it runs, its rows.
class Cursor {
public:
    virtual ~Cursor() = default;
    virtual void bindText(int index, std::string_view text) = 0;
    virtual void bindInteger(int index, std::int64_t value) = 0;
    virtual void bindReal(int index, double value) = 0;
    virtual void bindNull(int index) = 0;
    virtual bool step() = 0;
    // Forgets the rows and the values.
    virtual void reset() = 0;
    virtual std::string text(int column) const = 0;
    virtual std::int64_t integer(int column) const = 0;
    virtual double real(int column) const = 0;
    virtual bool isNull(int column) const = 0;
};

// One connection to the database engine. Only ever used under its mutex, by one thread at a time.
class Connection {
public:
    virtual ~Connection() = default;

    // A statement for the text, compiled once per connection; handed back through release().
    virtual Cursor* prepare(std::string_view sql) = 0;
    virtual void release(Cursor* cursor) = 0;
    // Runs one or more statements without values or rows (schema changes, transaction control).
    virtual void exec(const char* sql) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // Whether a failed statement leaves its transaction unusable until rolled back (to a savepoint).
    virtual bool failureAbortsTransaction() const = 0;
    // Called before each use: a connection the server dropped is opened again here.
    virtual void recover() { }

    std::mutex mutex;
};

} // namespace database
