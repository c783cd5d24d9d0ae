# Installation and packaging rules (filled in with the packaging work).
