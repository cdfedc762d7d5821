CREATE TABLE accounts (
    id INTEGER PRIMARY KEY,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password_hash TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE TABLE drops (
    id INTEGER PRIMARY KEY,
    code TEXT NOT NULL UNIQUE,
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    title TEXT NOT NULL,
    content_type TEXT NOT NULL,
    size INTEGER NOT NULL,
    pixel_density REAL NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE INDEX drops_by_account ON drops(account_id);
