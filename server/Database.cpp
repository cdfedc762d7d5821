#include "server/Database.h"

#include "server/database/Migrations.h"
#include "server/database/PostgresConnection.h"
#include "server/database/SqliteConnection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Database::Database(const std::filesystem::path& file, unsigned readers)
    : m_engine(Engine::Sqlite)
{
    // Private to the server, also if the folder is ever opened up. SQLite gives its -wal and -shm
    // files the mode of the database file; ones left by an older run are narrowed as well.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string name = file.string() + suffix;
        const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (*suffix ? 0 : O_CREAT), 0600);
        if (fd >= 0) {
            ::fchmod(fd, 0600);
            ::close(fd);
        }
    }
    m_writers.push_back(std::make_unique<database::SqliteConnection>(file, false));
    {
        Session s = session();
        s.exec("PRAGMA journal_mode=WAL");
        // A drop is only announced once its row is on disk.
        s.exec("PRAGMA synchronous=FULL");
        s.exec("PRAGMA foreign_keys=ON");
    }
    database::migrate(*this);
    // Opened once the file is in WAL mode: only then can they read beside the writer.
    for (unsigned n = 0; n < readers; ++n)
        m_readers.push_back(std::make_unique<database::SqliteConnection>(file, true));
}

Database::Database(const Postgresql& server)
    : m_engine(Engine::Postgresql)
{
    // All opened at start, so that an unreachable server stops the start rather than a request.
    for (unsigned n = 0; n < std::max(server.connections, 1u); ++n)
        m_writers.push_back(std::make_unique<database::PostgresConnection>(server.conninfo));
    database::migrate(*this);
}

Database::~Database() = default;

Database::Session Database::take(const std::vector<std::unique_ptr<database::Connection>>& pool, std::atomic<unsigned>& next)
{
    // Any free one; when all are busy, wait for one in turn.
    const unsigned first = next.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock;
    database::Connection* connection = nullptr;
    for (size_t n = 0; n < pool.size() && !connection; ++n) {
        database::Connection& candidate = *pool[(first + n) % pool.size()];
        lock = std::unique_lock(candidate.mutex, std::try_to_lock);
        if (lock.owns_lock())
            connection = &candidate;
    }
    if (!connection) {
        connection = pool[first % pool.size()].get();
        lock = std::unique_lock(connection->mutex);
    }
    connection->recover();
    return Session(std::move(lock), *connection);
}

Database::Session Database::session()
{
    return take(m_writers, m_nextWriter);
}

Database::Session Database::reader()
{
    if (m_readers.empty())
        return session();
    return take(m_readers, m_nextReader);
}

void Database::Session::exec(const char* sql)
{
    m_connection->exec(sql);
}

Database::Statement Database::Session::prepare(std::string_view sql)
{
    return Statement(*m_connection, m_connection->prepare(sql));
}

Database::Transaction::Transaction(Session& session)
    : m_session(session)
{
    m_session.m_connection->begin();
}

Database::Transaction::~Transaction()
{
    if (!m_open)
        return;
    try {
        m_session.m_connection->rollback();
    } catch (...) {
        // Nothing to add: the statement that failed already reported why.
    }
}

void Database::Transaction::commit()
{
    m_session.m_connection->commit();
    m_open = false;
}

Database::Savepoint::Savepoint(Session& session)
    : m_session(session)
    , m_needed(session.m_connection->failureAbortsTransaction())
{
    if (m_needed)
        m_session.exec("SAVEPOINT statement");
}

Database::Savepoint::~Savepoint()
{
    if (!m_needed || !m_open)
        return;
    try {
        m_session.exec("ROLLBACK TO SAVEPOINT statement");
        m_session.exec("RELEASE SAVEPOINT statement");
    } catch (...) {
        // The transaction is unusable then, and its commit reports that.
    }
}

void Database::Savepoint::release()
{
    m_open = false;
    if (m_needed)
        m_session.exec("RELEASE SAVEPOINT statement");
}

Database::Statement::~Statement()
{
    m_connection.release(m_cursor);
}

Database::Statement& Database::Statement::bind(int index, std::string_view text)
{
    m_cursor->bindText(index, text);
    return *this;
}

Database::Statement& Database::Statement::bind(int index, std::int64_t value)
{
    m_cursor->bindInteger(index, value);
    return *this;
}

Database::Statement& Database::Statement::bind(int index, double value)
{
    m_cursor->bindReal(index, value);
    return *this;
}

Database::Statement& Database::Statement::bind(int index, std::optional<std::int64_t> value)
{
    if (value)
        m_cursor->bindInteger(index, *value);
    else
        m_cursor->bindNull(index);
    return *this;
}

Database::Statement& Database::Statement::bindNull(int index)
{
    m_cursor->bindNull(index);
    return *this;
}

bool Database::Statement::step()
{
    return m_cursor->step();
}

void Database::Statement::reset()
{
    m_cursor->reset();
}

std::string Database::Statement::text(int column) const
{
    return m_cursor->text(column);
}

std::int64_t Database::Statement::integer(int column) const
{
    return m_cursor->integer(column);
}

double Database::Statement::real(int column) const
{
    return m_cursor->real(column);
}

std::optional<std::int64_t> Database::Statement::optionalInteger(int column) const
{
    if (m_cursor->isNull(column))
        return std::nullopt;
    return m_cursor->integer(column);
}

bool Database::Statement::isNull(int column) const
{
    return m_cursor->isNull(column);
}
