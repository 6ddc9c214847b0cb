"""brembolt: host packages."""
