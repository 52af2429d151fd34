# An option-like profile before --.
kivu-profile summary -x
