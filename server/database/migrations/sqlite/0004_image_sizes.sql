-- An image drop's pixel size, read from its header once when it is stored rather than on every
-- page view. 0 x 0: not an image, or no size could be read; NULL: stored before this column.
ALTER TABLE drops ADD COLUMN image_width INTEGER;
ALTER TABLE drops ADD COLUMN image_height INTEGER;
