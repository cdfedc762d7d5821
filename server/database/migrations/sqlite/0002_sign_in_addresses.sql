-- Where each account's owner signed in from, so guessing from elsewhere cannot lock them out.
CREATE TABLE sign_in_addresses (
    account_id INTEGER NOT NULL REFERENCES accounts(id),
    address TEXT NOT NULL,
    signed_in_at INTEGER NOT NULL,
    PRIMARY KEY (account_id, address)
);
