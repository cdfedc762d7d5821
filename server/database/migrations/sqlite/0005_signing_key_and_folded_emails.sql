-- Accounts are looked up by lower(email), the form both engines can index; SQLite folds case
-- as NOCASE does, ASCII only, so the unique column stays as it was.
CREATE INDEX IF NOT EXISTS accounts_by_folded_email ON accounts(lower(email));
-- The secret tokens are signed with, hex-encoded: one row.
CREATE TABLE IF NOT EXISTS signing_key (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    secret TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
