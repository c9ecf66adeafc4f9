"""The planner's one error type for user mistakes."""


class UserError(Exception):
    """A mistake in the user's input: bad file, column, value or option.

    The message is one line that names the file, the column and the row or value, so
    the command line can print it alone, without a traceback.
    """
