"""The planner's one error type for user mistakes."""


class UserError(Exception):
    """A mistake in the user's input: bad file, column, value or option.

    The message is one line that names the file, the column and the row or value, so
    the command line can print it alone, without a traceback.
    """


#: The message with which the module reports a Ctrl-C noticed during its searches.
MODULE_INTERRUPT_MESSAGE = "Keyboard interupt"


def is_module_failure(failure: BaseException) -> bool:
    """The numerical module's own failure type, which derives from BaseException."""
    return type(failure).__module__ == "velmar_backend"
