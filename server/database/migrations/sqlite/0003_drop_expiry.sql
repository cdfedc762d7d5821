-- Drops that end: at a time set at upload, or when their owner deletes them. A row outlives
-- its bytes so that its page can say the drop is gone, and its code is never handed out again.
-- Listing walks an account's live rows newest first; the sweep walks those that expire.
ALTER TABLE drops ADD COLUMN expires_at INTEGER;
ALTER TABLE drops ADD COLUMN deleted_at INTEGER;
CREATE INDEX drops_live_by_account ON drops(account_id, id) WHERE deleted_at IS NULL;
CREATE INDEX drops_expiring ON drops(expires_at) WHERE deleted_at IS NULL AND expires_at IS NOT NULL;
