"""Speech-to-lip models fitted on phoneme-timed synthetic speech: corpus,
viseme targets, engine-exact features, fitting and the fitted models."""
