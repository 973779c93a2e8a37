If x Then If y Then z Else w
