// Placeholder: the server comes next.
