# Marks the double quotes of the documentation for the man pages; the C
# code's own quotes (extern "C", the visibility attribute) stay.
/extern "C"\|visibility("default")/!s/"/Q48DQUOTE/g
