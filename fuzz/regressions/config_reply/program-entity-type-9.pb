1:1234567890:ios:abcdef"$
measurement.upload.interval60000J
	