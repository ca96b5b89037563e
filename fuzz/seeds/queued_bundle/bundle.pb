

_c_fğ•ÿ¼1X

value){®Gáú#@

currency"EUR

items2

item_id"sku-1purchaseø¨•ÿ¼1 Ø‰•ÿ¼1ğ•ÿ¼1tiergold(ğ•ÿ¼10€Ğ•ÿ¼1BiosJ17.1R
iPhone14,2r1:1234567890:ios:abcdef‚2.4.0šOLD-ID êê’!¢G100‚x