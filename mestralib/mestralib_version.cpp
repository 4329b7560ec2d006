// Placeholder; replaced with the library's version group.
