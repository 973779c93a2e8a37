a = "unterminated
