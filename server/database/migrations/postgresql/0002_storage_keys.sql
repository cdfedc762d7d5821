-- Drops kept in object storage are stored under a key of their own, drawn before their code is;
-- NULL for drops kept as files named by their code.
ALTER TABLE drops ADD COLUMN IF NOT EXISTS storage_key TEXT;
CREATE UNIQUE INDEX IF NOT EXISTS drops_by_storage_key ON drops (storage_key) WHERE storage_key IS NOT NULL;
