"""quorvel's Python tools: each command quorvel-NAME runs NAME.main(), and the other modules do their work."""
